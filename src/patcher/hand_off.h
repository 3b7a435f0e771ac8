#pragma once
// Work handed from one thread to a thread of its own, so that waiting on the
// disk overlaps what the producer does next. At most `maxWaiting` items are
// queued; beyond that the producer waits, so memory and open handles stay
// bounded. When no thread can be started, each item is handled on the
// producer's thread instead. Internal to the patcher library.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace vr {

template <class T>
class HandOff {
public:
    HandOff(size_t maxWaiting, std::function<void(T&)> handle) : maxWaiting(maxWaiting), handle(std::move(handle)) {
        try {
            worker = std::thread([this] { Main(); });
        } catch (const std::system_error&) {
        }
    }
    ~HandOff() { Close(); }
    HandOff(const HandOff&) = delete;
    HandOff& operator=(const HandOff&) = delete;

    void Push(T item) {
        if (!worker.joinable()) {
            handle(item);
            return;
        }
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return queue.size() < maxWaiting; });
        queue.push_back(std::move(item));
        changed.notify_all();
    }
    // Returns once every item pushed has been handled.
    void Close() {
        {
            std::lock_guard<std::mutex> guard(lock);
            ended = true;
        }
        changed.notify_all();
        if (worker.joinable()) worker.join();
    }

private:
    void Main() {
        for (;;) {
            T item;
            {
                std::unique_lock<std::mutex> guard(lock);
                changed.wait(guard, [&] { return !queue.empty() || ended; });
                if (queue.empty()) return;
                item = std::move(queue.front());
                queue.pop_front();
            }
            changed.notify_all();
            handle(item);
        }
    }

    const size_t maxWaiting;
    const std::function<void(T&)> handle;
    std::mutex lock;
    std::condition_variable changed;  // an item was queued or taken, or the producer ended
    std::deque<T> queue;
    bool ended = false;
    std::thread worker;  // last: started once everything above exists
};

}  // namespace vr

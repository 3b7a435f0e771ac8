#include "work_pool.h"

#include <chrono>
#include <thread>
#include <vector>

namespace vr::publish {

unsigned DefaultJobs() {
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

void SideWork::Post(Group& group, std::function<void()> task) {
    ++group.pending;
    auto wrapped = [this, &group, task = std::move(task)] {
        task();
        // Under the lock, so that a waiter cannot miss the last one.
        std::lock_guard<std::mutex> lock(m_);
        --group.pending;
        cv_.notify_all();
    };
    std::unique_lock<std::mutex> lock(m_);
    while (queue_.size() >= limit_) {
        std::function<void()> other = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        other();
        lock.lock();
    }
    queue_.push_back(std::move(wrapped));
    cv_.notify_all();
}

bool SideWork::RunOne() {
    std::unique_lock<std::mutex> lock(m_);
    if (queue_.empty()) return false;
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    task();
    return true;
}

void SideWork::Wait(Group& group) {
    for (;;) {
        if (RunOne()) continue;
        std::unique_lock<std::mutex> lock(m_);
        if (group.pending == 0) return;
        // Another thread runs the rest; wake when one of them ends or a task arrives.
        cv_.wait(lock, [&] { return group.pending == 0 || !queue_.empty(); });
    }
}

void SideWork::Idle(const std::function<bool()>& stop) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return !queue_.empty() || stop(); });
}

void SideWork::Wake() {
    std::lock_guard<std::mutex> lock(m_);
    cv_.notify_all();
}

void RunParallel(size_t count, unsigned jobs, const std::function<bool(size_t)>& fn, const std::function<void()>& tick,
                 SideWork* side) {
    if (jobs == 0) jobs = DefaultJobs();
    if (!side && jobs > count) jobs = static_cast<unsigned>(count ? count : 1);
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::atomic<unsigned> taking{jobs};  // threads still taking items
    std::mutex m;
    std::condition_variable cv;
    unsigned running = jobs;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < jobs; ++t) {
        threads.emplace_back([&] {
            for (size_t i; !failed && (i = next++) < count;) {
                if (!fn(i)) failed = true;
            }
            // Items wait for their own side tasks, so once no thread takes
            // items, none are left.
            if (side) {
                --taking;
                side->Wake();
                const auto allTaken = [&] { return taking == 0; };
                while (!allTaken()) {
                    if (!side->RunOne()) side->Idle(allTaken);
                }
            }
            std::lock_guard<std::mutex> lock(m);
            --running;
            cv.notify_all();
        });
    }
    {
        std::unique_lock<std::mutex> lock(m);
        while (running > 0) {
            cv.wait_for(lock, std::chrono::milliseconds(250));
            lock.unlock();
            if (tick) tick();
            lock.lock();
        }
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace vr::publish

#pragma once
// Runs fn(0..count-1) on `jobs` threads while the calling thread reports
// progress every quarter second; returns when every item is done or, after a
// failure (fn returned false), when the running ones are.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace vr::publish {

// Tasks an item hands off so that threads without an item of their own take
// part: one big file still keeps every core busy. The queue is bounded;
// a full queue makes the poster run queued tasks itself.
class SideWork {
public:
    explicit SideWork(size_t limit) : limit_(limit ? limit : 1) {}

    // Counts the tasks of one poster that have not finished yet.
    struct Group {
        std::atomic<size_t> pending{0};
    };
    void Post(Group& group, std::function<void()> task);
    // Runs queued tasks on the caller until every task of the group is done.
    void Wait(Group& group);
    // Runs one queued task; false when none is queued.
    bool RunOne();
    // Sleeps until a task is queued or `stop` holds (checked again on Wake).
    void Idle(const std::function<bool()>& stop);
    void Wake();

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    size_t limit_;
};

// With `side`, every thread starts even when there are fewer items, and a
// thread without an item runs side tasks until all items are done.
void RunParallel(size_t count, unsigned jobs, const std::function<bool(size_t)>& fn, const std::function<void()>& tick,
                 SideWork* side = nullptr);

unsigned DefaultJobs();

}  // namespace vr::publish

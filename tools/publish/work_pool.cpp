#include "work_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vr::publish {

unsigned DefaultJobs() {
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

void RunParallel(size_t count, unsigned jobs, const std::function<bool(size_t)>& fn,
                 const std::function<void()>& tick) {
    if (jobs == 0) jobs = DefaultJobs();
    if (jobs > count) jobs = static_cast<unsigned>(count ? count : 1);
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex m;
    std::condition_variable cv;
    unsigned running = jobs;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < jobs; ++t) {
        threads.emplace_back([&] {
            for (size_t i; !failed && (i = next++) < count;) {
                if (!fn(i)) failed = true;
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

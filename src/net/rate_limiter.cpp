#include "net/rate_limiter.h"

#include <windows.h>

#include <algorithm>

namespace vr {
namespace {

constexpr int64_t kSliceUs = 50000;

}  // namespace

bool RateLimiter::Take(uint64_t bytes, const std::atomic<bool>* cancel) {
    const uint64_t perSecond = rate.load();
    if (perSecond == 0) return true;
    Clock::time_point due;
    {
        std::lock_guard<std::mutex> guard(lock);
        const Clock::time_point now = Clock::now();
        next = std::max(next, now) + std::chrono::microseconds(static_cast<int64_t>(bytes * 1000000 / perSecond));
        due = next;
    }
    for (;;) {
        if (cancel && cancel->load()) return false;
        const int64_t left = std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now()).count();
        if (left <= 0) return true;
        // Sleep's granularity is a millisecond; rounding up keeps the rate at or
        // under the cap.
        Sleep(static_cast<DWORD>((std::min(left, kSliceUs) + 999) / 1000));
    }
}

}  // namespace vr

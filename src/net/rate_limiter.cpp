#include "net/rate_limiter.h"

#include <algorithm>

namespace vr {
namespace {

constexpr std::chrono::milliseconds kCancelSlice{50};
constexpr uint64_t kMicrosPerSecond = 1000000;

}  // namespace

void RateLimiter::PayUntil(Clock::time_point now) {
    const uint64_t perSecond = rate.load();
    const int64_t elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(now - paidAt).count();
    paidAt = now;
    if (perSecond == 0 || elapsedUs <= 0) return;
    // Compared in time first, so the product below cannot overflow.
    const uint64_t owed = booked - paid;
    if (static_cast<uint64_t>(elapsedUs) >= owed * kMicrosPerSecond / perSecond) {
        paid = booked;
    } else {
        paid += static_cast<uint64_t>(elapsedUs) * perSecond / kMicrosPerSecond;
    }
}

void RateLimiter::SetBytesPerSecond(uint64_t bytesPerSecond) {
    {
        std::lock_guard<std::mutex> guard(lock);
        PayUntil(Clock::now());  // what was paid at the old rate stays paid
        rate = bytesPerSecond;
        if (bytesPerSecond == 0) paid = booked;  // no cap: nothing is owed
    }
    rateChanged.notify_all();
}

size_t RateLimiter::Waiting() const {
    std::lock_guard<std::mutex> guard(lock);
    return waiting;
}

bool RateLimiter::Take(uint64_t bytes, const std::atomic<bool>* cancel) {
    std::unique_lock<std::mutex> guard(lock);
    if (rate.load() == 0) return true;
    PayUntil(Clock::now());
    booked += bytes;
    const uint64_t turn = booked;
    ++waiting;
    bool granted = false;
    for (;;) {
        if (cancel && cancel->load()) break;
        const Clock::time_point now = Clock::now();
        PayUntil(now);
        const uint64_t perSecond = rate.load();
        if (perSecond == 0 || paid >= turn) {
            granted = true;
            break;
        }
        // Rounded up, so the rate stays at or under the cap.
        const uint64_t leftUs = ((turn - paid) * kMicrosPerSecond + perSecond - 1) / perSecond;
        const Clock::time_point due = now + std::chrono::microseconds(static_cast<int64_t>(leftUs));
        rateChanged.wait_until(guard, std::min(due, now + kCancelSlice));
    }
    --waiting;
    return granted;
}

}  // namespace vr

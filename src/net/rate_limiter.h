#pragma once
// A bandwidth cap shared by every connection that holds it: each reader asks
// for the bytes it has just received and waits until the shared rate allows
// them. Idle time earns no credit, so a pass never bursts past its cap. The
// rate may change at any time from any thread; 0 lets everything through,
// and a change applies at once to the bytes already waiting.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vr {

class RateLimiter {
public:
    explicit RateLimiter(uint64_t bytesPerSecond) : rate(bytesPerSecond) {}

    // Books `bytes` against the cap and waits for their turn, watching
    // `cancel` (may be null) at least every 50 ms. False when cancelled.
    bool Take(uint64_t bytes, const std::atomic<bool>* cancel);

    // Wakes every waiting transfer: what is still owed is paid at the new
    // rate from now on, so a raised or removed cap ends pauses booked under
    // the old one.
    void SetBytesPerSecond(uint64_t bytesPerSecond);
    uint64_t BytesPerSecond() const { return rate; }

    // Transfers now inside Take waiting for their turn.
    size_t Waiting() const;

private:
    using Clock = std::chrono::steady_clock;
    // Brings `paid` up to now at the current rate, never past `booked`.
    void PayUntil(Clock::time_point now);

    std::atomic<uint64_t> rate;
    mutable std::mutex lock;
    std::condition_variable rateChanged;
    // Bytes booked since the start and bytes paid for as of `paidAt`: a
    // transfer whose booking ends at byte N goes once `paid` reaches N.
    uint64_t booked = 0;
    uint64_t paid = 0;
    Clock::time_point paidAt{};
    size_t waiting = 0;
};

}  // namespace vr

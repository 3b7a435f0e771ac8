#pragma once
// A bandwidth cap shared by every connection that holds it: each reader asks
// for the bytes it has just received and waits until the shared rate allows
// them. Idle time earns no credit, so a pass never bursts past its cap. The
// rate may change at any time from any thread; 0 lets everything through.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace vr {

class RateLimiter {
public:
    explicit RateLimiter(uint64_t bytesPerSecond) : rate(bytesPerSecond) {}

    // Books `bytes` against the cap and waits for their turn, in slices of at
    // most 50 ms that watch `cancel` (may be null). False when cancelled.
    bool Take(uint64_t bytes, const std::atomic<bool>* cancel);

    void SetBytesPerSecond(uint64_t bytesPerSecond) { rate = bytesPerSecond; }
    uint64_t BytesPerSecond() const { return rate; }

private:
    using Clock = std::chrono::steady_clock;
    std::atomic<uint64_t> rate;
    std::mutex lock;
    Clock::time_point next{};  // when the bytes booked so far have been paid for
};

}  // namespace vr

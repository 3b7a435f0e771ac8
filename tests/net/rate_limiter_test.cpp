// The shared bandwidth cap: a change of rate reaches transfers already
// waiting out a pause booked under the old one.
#include "net/rate_limiter.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

namespace vr {
namespace {

// Bounded polling: the bounds only keep a broken limiter from hanging the
// suite; no assertion depends on how fast anything happens.
bool WaitFor(const std::function<bool()>& condition) {
    for (int n = 0; n < 2000 && !condition(); ++n) Sleep(10);
    return condition();
}

// A transfer that books a pause of about twelve days at one byte per second,
// then the cap changes; the transfer must come out granted, not cancelled.
bool ReleasedBy(uint64_t newRate) {
    RateLimiter limiter(1);
    std::atomic<bool> cancel{false}, done{false}, granted{false};
    std::thread transfer([&] {
        granted = limiter.Take(1 << 20, &cancel);
        done = true;
    });
    const bool waiting = WaitFor([&] { return limiter.Waiting() == 1; });
    limiter.SetBytesPerSecond(newRate);
    const bool returned = WaitFor([&] { return done.load(); });
    cancel = true;  // ends a transfer the change did not reach
    transfer.join();
    EXPECT_TRUE(waiting);
    EXPECT_EQ(limiter.Waiting(), 0u);
    return returned && granted;
}

TEST(RateLimiterTest, RemovingOrRaisingTheCapReleasesATransferWaitingUnderTheOldOne) {
    EXPECT_TRUE(ReleasedBy(0)) << "cap removed";
    EXPECT_TRUE(ReleasedBy(uint64_t{1} << 40)) << "cap raised";
}

}  // namespace
}  // namespace vr

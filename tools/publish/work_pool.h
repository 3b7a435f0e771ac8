#pragma once
// Runs fn(0..count-1) on `jobs` threads while the calling thread reports
// progress every quarter second; returns when every item is done or, after a
// failure (fn returned false), when the running ones are.
#include <cstddef>
#include <functional>

namespace vr::publish {

void RunParallel(size_t count, unsigned jobs, const std::function<bool(size_t)>& fn, const std::function<void()>& tick);

unsigned DefaultJobs();

}  // namespace vr::publish

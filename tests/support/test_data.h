#pragma once
// Reproducible bodies for tests and benchmarks.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vr::test {

// Bytes that do not compress: a linear congruential sequence from `seed`.
std::string Noise(size_t size, uint32_t seed);

// Game-like content: random stretches mixed with repeated ones, about 2:1
// under gzip level 6.
std::string GameLikeContent(size_t size, uint64_t seed);

}  // namespace vr::test

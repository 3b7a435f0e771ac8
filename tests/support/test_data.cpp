#include "support/test_data.h"

namespace vr::test {
namespace {

uint64_t Next(uint64_t& s) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

}  // namespace

std::string Noise(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (auto& c : out) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return out;
}

std::string GameLikeContent(size_t size, uint64_t seed) {
    std::string out(size, '\0');
    uint64_t s = seed * 0x9E3779B97F4A7C15ULL + 1;
    size_t i = 0;
    while (i < size) {
        const size_t run = 64 + Next(s) % 448;
        const bool random = Next(s) % 2 == 0;
        const char fill = static_cast<char>(Next(s));
        for (size_t k = 0; k < run && i < size; ++k, ++i) {
            out[i] = random ? static_cast<char>(Next(s) >> 24) : static_cast<char>(fill + (k % 8));
        }
    }
    return out;
}

}  // namespace vr::test

#include "patcher/chunker.h"

#include <array>
#include <bit>
#include <cstring>

namespace vr {
namespace {

// The gear table: 256 fixed pseudo-random words. It is part of the format:
// another table cuts other chunks, so it is generated from a fixed seed here
// and nowhere else.
constexpr std::array<uint64_t, 256> MakeGear() {
    std::array<uint64_t, 256> table{};
    uint64_t state = 0x5645'4C54'5255'4E45ULL;  // "VELTRUNE"
    for (uint64_t& word : table) {
        state += 0x9E3779B97F4A7C15ULL;  // splitmix64
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        word = z ^ (z >> 31);
    }
    return table;
}
constexpr std::array<uint64_t, 256> kGear = MakeGear();

// The top `bits` bits of the hash; after a shift by one per byte they depend
// on the last 64 bytes only, which is what makes the cut content-defined.
constexpr uint64_t TopBits(int bits) { return bits <= 0 ? 0 : ~0ULL << (64 - bits); }

uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // little-endian on every platform we build for
}

}  // namespace

bool ValidChunkParams(const ChunkParams& p) {
    return p.minSize >= 4096 && std::has_single_bit(p.avgSize) && p.minSize < p.avgSize && p.avgSize < p.maxSize &&
           p.maxSize <= kMaxChunkSize;
}

size_t FindChunkEnd(const uint8_t* data, size_t size, const ChunkParams& p) {
    if (size <= p.minSize) return size;
    const int bits = std::countr_zero(p.avgSize);
    // Normalised chunking: harder to cut before the average, easier after,
    // so sizes gather around it.
    const uint64_t maskSmall = TopBits(bits + 2);
    const uint64_t maskLarge = TopBits(bits - 2);
    const size_t limit = size < p.maxSize ? size : p.maxSize;
    const size_t normal = p.avgSize < limit ? p.avgSize : limit;
    uint64_t hash = 0;
    size_t i = p.minSize;
    for (; i < normal; ++i) {
        hash = (hash << 1) + kGear[data[i]];
        if ((hash & maskSmall) == 0) return i + 1;
    }
    for (; i < limit; ++i) {
        hash = (hash << 1) + kGear[data[i]];
        if ((hash & maskLarge) == 0) return i + 1;
    }
    return limit;
}

uint64_t FastChunkHash(const uint8_t* data, size_t size) {
    constexpr uint64_t kMulA = 0x9E3779B97F4A7C15ULL;
    constexpr uint64_t kMulB = 0xC2B2AE3D27D4EB4FULL;
    // Two independent lanes so the multiplies overlap.
    uint64_t a = 0x243F6A8885A308D3ULL ^ size;
    uint64_t b = 0x13198A2E03707344ULL;
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        a = std::rotl(a ^ (Load64(data + i) * kMulB), 31) * kMulA;
        b = std::rotl(b ^ (Load64(data + i + 8) * kMulB), 29) * kMulA;
    }
    for (; i < size; ++i) a = std::rotl(a ^ (data[i] * kMulB), 23) * kMulA;
    uint64_t h = a ^ std::rotl(b, 17);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    return h ^ (h >> 33);
}

StreamChunker::StreamChunker(const ChunkParams& params, ReadFn read)
    : params(params), read(std::move(read)), buffer(static_cast<size_t>(params.maxSize) * 2) {}

// Keeps at least maxSize bytes ahead of `begin` unless the stream ends first.
bool StreamChunker::Fill() {
    if (begin > 0 && end - begin < params.maxSize) {
        std::memmove(buffer.data(), buffer.data() + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    while (!atEof && end - begin < params.maxSize) {
        const int64_t got = read(buffer.data() + end, buffer.size() - end);
        if (got < 0) {
            failed = true;
            return false;
        }
        if (got == 0) atEof = true;
        end += static_cast<size_t>(got);
    }
    return true;
}

bool StreamChunker::Next(const uint8_t*& data, size_t& size) {
    if (failed || !Fill() || begin == end) return false;
    size = FindChunkEnd(buffer.data() + begin, end - begin, params);
    data = buffer.data() + begin;
    begin += size;
    chunkOffset = nextOffset;
    nextOffset += size;
    return true;
}

}  // namespace vr

// Writes the delta benchmark's data: game-archive-like bytes (runs of noise
// and runs of short repeating patterns, compressing to about half, like the
// tests' GameLikeContent), the same for the same seed on every machine.
//
//   gen_data OUT_DIR [V1_MIB [FRESH_MIB]]     defaults 2048 and 1024
//
// OUT_DIR/v1.bin    V1_MIB of content
// OUT_DIR/v2.bin    v1 with twenty 256 KiB regions rewritten at scattered
//                   offsets, 1 MiB inserted near the start, 3 MiB appended
// OUT_DIR/fresh.bin FRESH_MIB of other content (fresh download and resume)
// Prints where the edits went, in v1's offsets.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kMiB = 1ull << 20;

uint64_t Next(uint64_t& s) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

// A seeded stream of content, produced in blocks of any size; runs carry on
// across blocks so the output does not depend on the block size.
class Content {
public:
    explicit Content(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    void Fill(uint8_t* out, size_t size) {
        size_t i = 0;
        while (i < size) {
            if (left == 0) {
                left = 64 + Next(s) % 448;
                random = Next(s) % 2 == 0;
                fill = static_cast<uint8_t>(Next(s));
                k = 0;
            }
            const size_t n = std::min(left, size - i);
            if (random) {
                // Eight bytes per step of the generator: the 3 GiB take
                // seconds, not a minute.
                for (size_t j = 0; j < n; ++j) {
                    if (spare == 0) {
                        bits = Next(s);
                        spare = 8;
                    }
                    out[i + j] = static_cast<uint8_t>(bits);
                    bits >>= 8;
                    --spare;
                }
            } else {
                for (size_t j = 0; j < n; ++j) out[i + j] = static_cast<uint8_t>(fill + (k + j) % 8);
            }
            k += n;
            left -= n;
            i += n;
        }
    }

private:
    uint64_t s;
    size_t left = 0, k = 0;
    bool random = false;
    uint8_t fill = 0;
    uint64_t bits = 0;
    int spare = 0;
};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "gen_data: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void WriteAll(FILE* f, const uint8_t* data, size_t size, const std::string& path) {
    if (std::fwrite(data, 1, size, f) != size) Fail("write " + path);
}

void WriteContent(const std::string& path, uint64_t size, uint64_t seed) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) Fail("create " + path);
    Content content(seed);
    std::vector<uint8_t> block(8 * kMiB);
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
        content.Fill(block.data(), n);
        WriteAll(f, block.data(), n, path);
        done += n;
    }
    if (std::fclose(f) != 0) Fail("close " + path);
}

struct Region {
    uint64_t offset;  // in v1
    uint64_t size;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: gen_data OUT_DIR [V1_MIB [FRESH_MIB]]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const uint64_t v1Size = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2048) * kMiB;
    const uint64_t freshSize = (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1024) * kMiB;
    if (v1Size < 64 * kMiB) {
        std::fprintf(stderr, "gen_data: v1 must be at least 64 MiB\n");
        return 2;
    }
    const std::string v1 = dir + "/v1.bin", v2 = dir + "/v2.bin", fresh = dir + "/fresh.bin";

    WriteContent(v1, v1Size, 1);
    WriteContent(fresh, freshSize, 3);

    // Edits: each rewritten region sits at a random place in its own
    // twentieth of the file (after the first 32 MiB, which holds the
    // insertion), so they are scattered but never touch one another.
    constexpr int kRegions = 20;
    constexpr uint64_t kRegionSize = 256 * 1024;
    uint64_t s = 0xB3EC4ULL;
    const uint64_t insertAt = 4 * kMiB + Next(s) % (4 * kMiB);
    const uint64_t insertSize = kMiB, appendSize = 3 * kMiB;
    std::vector<Region> regions;
    const uint64_t span = (v1Size - 32 * kMiB) / kRegions;
    for (int i = 0; i < kRegions; ++i) {
        const uint64_t base = 32 * kMiB + span * static_cast<uint64_t>(i);
        regions.push_back({base + Next(s) % (span - kRegionSize), kRegionSize});
    }

    FILE* in = std::fopen(v1.c_str(), "rb");
    if (!in) Fail("open " + v1);
    FILE* out = std::fopen(v2.c_str(), "wb");
    if (!out) Fail("create " + v2);
    Content edits(2);  // the new bytes of every edit, in order
    std::vector<uint8_t> block(8 * kMiB), extra;
    for (uint64_t at = 0; at < v1Size;) {
        // Blocks end where the insertion goes, so it is written between two.
        uint64_t n = std::min<uint64_t>(block.size(), v1Size - at);
        if (at < insertAt) n = std::min(n, insertAt - at);
        if (std::fread(block.data(), 1, n, in) != n) Fail("read " + v1);
        for (const Region& r : regions) {
            const uint64_t from = std::max(r.offset, at), to = std::min(r.offset + r.size, at + n);
            if (from < to) edits.Fill(block.data() + (from - at), to - from);
        }
        WriteAll(out, block.data(), n, v2);
        at += n;
        if (at == insertAt) {
            extra.resize(insertSize);
            edits.Fill(extra.data(), extra.size());
            WriteAll(out, extra.data(), extra.size(), v2);
        }
    }
    extra.resize(appendSize);
    edits.Fill(extra.data(), extra.size());
    WriteAll(out, extra.data(), extra.size(), v2);
    std::fclose(in);
    if (std::fclose(out) != 0) Fail("close " + v2);

    std::printf("v1 %" PRIu64 " bytes, v2 %" PRIu64 " bytes, fresh %" PRIu64 " bytes\n", v1Size,
                v1Size + insertSize + appendSize, freshSize);
    std::printf("inserted %" PRIu64 " bytes at v1 offset %" PRIu64 "; appended %" PRIu64 " bytes\n", insertSize,
                insertAt, appendSize);
    std::printf("rewritten %d regions of %" PRIu64 " bytes at v1 offsets:", kRegions, kRegionSize);
    for (const Region& r : regions) std::printf(" %" PRIu64, r.offset);
    std::printf("\n");
    return 0;
}

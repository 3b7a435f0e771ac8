// Chooses the chunk parameters: cuts v1 and v2 with the launcher's own
// chunker at several sizes and prints, per size, what an update from v1 to
// v2 fetches, what the index and the whole object's chunk-boundary flushes
// cost, and what a fresh download costs on a long link.
//
//   chunk_sweep V1 V2 FRESH [AVG_KIB...]      default 128 256 512 1024 2048 4096
//
// min = avg/4 and max = avg*4 for every size. The whole-file object is one
// gzip member at level 6 with a full flush at every chunk boundary, as the
// publishing tool writes it; the launcher fetches runs of missing chunks from
// it by Range (at most 32 MiB of file a request) and falls back to one chunk
// object (a gzip member each) per chunk. Both ways are reported.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "patcher/chunk_index.h"
#include "patcher/chunker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;

// The peer benchmark's link: 50 ms round trip, 100 Mbit/s per connection,
// and the launcher's six connections.
constexpr double kRtt = 0.050;
constexpr double kConnRate = 12.5e6;
constexpr int kConnections = 6;
// The launcher's range units (chunk_fetch.cpp): about two per connection,
// within these bounds.
constexpr uint64_t kMinRangeBytes = 4ull << 20;
constexpr uint64_t kMaxRangeBytes = 32ull << 20;

struct File {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

File Map(const char* path) {
    const int fd = open(path, O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::perror(path);
        std::exit(1);
    }
    File f;
    f.size = static_cast<size_t>(st.st_size);
    void* p = mmap(nullptr, f.size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        std::perror(path);
        std::exit(1);
    }
    madvise(p, f.size, MADV_SEQUENTIAL);
    close(fd);
    f.data = static_cast<const uint8_t*>(p);
    return f;
}

using Digest = std::array<uint8_t, 32>;
struct DigestHash {
    size_t operator()(const Digest& d) const {
        size_t h;
        std::memcpy(&h, d.data(), sizeof h);
        return h;
    }
};

Digest Sha256(const uint8_t* data, size_t size) {
    Digest d;
    unsigned int len = 0;
    EVP_Digest(data, size, d.data(), &len, EVP_sha256(), nullptr);
    return d;
}

std::string Hex(const Digest& d) {
    static const char* digits = "0123456789abcdef";
    std::string out(64, '0');
    for (size_t i = 0; i < d.size(); ++i) {
        out[2 * i] = digits[d[i] >> 4];
        out[2 * i + 1] = digits[d[i] & 15];
    }
    return out;
}

// One gzip member at level 6. With `cuts`, a full flush before the first
// and after every chunk, whose offsets in the member go to `at` (one more
// than there are chunks: the last is where the trailer's block starts).
uint64_t Gzip(const uint8_t* data, size_t size, const std::vector<size_t>* cuts = nullptr,
              std::vector<uint64_t>* at = nullptr) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(1 << 20);
    uint64_t total = 0;
    auto run = [&](const uint8_t* p, size_t n, int flush) {
        z.next_in = const_cast<uint8_t*>(p);
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            deflate(&z, flush);
            total += out.size() - z.avail_out;
        } while (z.avail_out == 0 || z.avail_in > 0);
    };
    if (cuts) {
        run(nullptr, 0, Z_FULL_FLUSH);
        at->push_back(total);
        size_t pos = 0;
        for (size_t n : *cuts) {
            for (size_t done = 0; done < n;) {
                const size_t piece = std::min<size_t>(n - done, 1u << 30);
                run(data + pos + done, piece, done + piece == n ? Z_FULL_FLUSH : Z_NO_FLUSH);
                done += piece;
            }
            pos += n;
            at->push_back(total);
        }
        run(nullptr, 0, Z_FINISH);
    } else {
        for (size_t pos = 0; pos < size;) {
            const size_t piece = std::min<size_t>(size - pos, 1u << 30);
            pos += piece;
            run(data + pos - piece, piece, pos == size ? Z_FINISH : Z_NO_FLUSH);
        }
    }
    deflateEnd(&z);
    return total;
}

std::vector<size_t> Cut(const File& f, const vr::ChunkParams& p) {
    std::vector<size_t> sizes;
    for (size_t at = 0; at < f.size;) {
        const size_t n = vr::FindChunkEnd(f.data + at, f.size - at, p);
        sizes.push_back(n);
        at += n;
    }
    return sizes;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Touch(const File& f) {
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < f.size; i += 4096) sink = sink + f.data[i];
}

// The launcher's plan for missing chunks (sorted entry numbers): runs of
// consecutive chunks, each cut at `cap` bytes of file.
std::vector<std::vector<size_t>> PlanRanges(const std::vector<size_t>& missing, const std::vector<size_t>& sizes) {
    uint64_t bytes = 0;
    for (size_t e : missing) bytes += sizes[e];
    const uint64_t cap = std::clamp<uint64_t>(bytes / (kConnections * 2 + 1), kMinRangeBytes, kMaxRangeBytes);
    std::vector<std::vector<size_t>> units;
    uint64_t unitBytes = 0;
    for (size_t e : missing) {
        if (units.empty() || units.back().back() + 1 != e || unitBytes + sizes[e] > cap) {
            units.emplace_back();
            unitBytes = 0;
        }
        units.back().push_back(e);
        unitBytes += sizes[e];
    }
    return units;
}

// Seconds to move transfers of these sizes over six connections, each
// taken by the first connection free: a connection pays the handshake round
// trip once, then each request waits a round trip before its bytes flow.
double Schedule(const std::vector<double>& bytes) {
    std::vector<double> freeAt(kConnections, kRtt);
    for (double b : bytes) {
        auto first = std::min_element(freeAt.begin(), freeAt.end());
        *first += kRtt + b / kConnRate;
    }
    return *std::max_element(freeAt.begin(), freeAt.end());
}

struct Row {
    vr::ChunkParams p;
    std::vector<size_t> sizes;  // v2's chunks
    std::vector<Digest> digests;
    std::vector<size_t> missing;  // entries of v2 to fetch
    std::vector<size_t> freshSizes;
    double cutRate = 0, cutFastRate = 0, cutShaRate = 0;
    // Filled by the compression phase.
    uint64_t wholeFlushed = 0, rangeBytes = 0, objectBytes = 0, indexBytes = 0, indexGz = 0;
    size_t ranges = 0;
    std::vector<uint64_t> at;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: chunk_sweep V1 V2 FRESH [AVG_KIB...]\n");
        return 2;
    }
    const File v1 = Map(argv[1]), v2 = Map(argv[2]), fresh = Map(argv[3]);
    std::vector<uint32_t> avgs;
    for (int i = 4; i < argc; ++i) avgs.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)) << 10);
    if (avgs.empty()) avgs = {128u << 10, 256u << 10, 512u << 10, 1u << 20, 2u << 20, 4u << 20};
    Touch(v1);
    Touch(v2);
    Touch(fresh);

    // Cutting and hashing first, one thread and nothing else running, so the
    // rates are the chunker's.
    std::vector<Row> rows;
    for (uint32_t avg : avgs) {
        Row r;
        r.p = {avg / 4, avg, avg * 4};
        if (!vr::ValidChunkParams(r.p)) {
            std::fprintf(stderr, "skipping avg %u KiB: parameters the chunker refuses\n", avg >> 10);
            continue;
        }
        // v1 as the launcher sees its old copy: cut, and hash every chunk.
        auto t = Clock::now();
        std::unordered_set<Digest, DigestHash> old;
        for (size_t at = 0; at < v1.size;) {
            const size_t n = vr::FindChunkEnd(v1.data + at, v1.size - at, r.p);
            old.insert(Sha256(v1.data + at, n));
            at += n;
        }
        r.cutShaRate = v1.size / kMiB / Seconds(t);
        // The same with the fast candidate hash the launcher uses first.
        t = Clock::now();
        uint64_t mix = 0;
        for (size_t at = 0; at < v1.size;) {
            const size_t n = vr::FindChunkEnd(v1.data + at, v1.size - at, r.p);
            mix ^= vr::FastChunkHash(v1.data + at, n);
            at += n;
        }
        r.cutFastRate = v1.size / kMiB / Seconds(t);
        if (mix == 42) std::fprintf(stderr, " ");  // keeps the hashes from being optimised away
        t = Clock::now();
        r.sizes = Cut(v2, r.p);
        r.cutRate = v2.size / kMiB / Seconds(t);

        // A chunk found in v1, or already fetched for an earlier place in
        // v2, costs nothing.
        std::unordered_set<Digest, DigestHash> fetched;
        size_t at = 0;
        for (size_t e = 0; e < r.sizes.size(); ++e) {
            r.digests.push_back(Sha256(v2.data + at, r.sizes[e]));
            if (!old.count(r.digests.back()) && fetched.insert(r.digests.back()).second) r.missing.push_back(e);
            at += r.sizes[e];
        }
        r.freshSizes = Cut(fresh, r.p);
        rows.push_back(std::move(r));
        std::fprintf(stderr, "cut at avg %u KiB\n", avg >> 10);
    }

    // Compression on both cores: the plain whole object, and per parameter
    // set the flushed whole object, its ranges, the chunk objects and the
    // index.
    uint64_t wholeGz = 0;
    std::vector<std::function<void()>> jobs;
    jobs.push_back([&] { wholeGz = Gzip(v2.data, v2.size); });
    for (Row& r : rows) {
        jobs.push_back([&r, &v2] {
            r.wholeFlushed = Gzip(v2.data, v2.size, &r.sizes, &r.at);
            std::vector<size_t> offsets{0};
            for (size_t n : r.sizes) offsets.push_back(offsets.back() + n);
            for (const std::vector<size_t>& unit : PlanRanges(r.missing, r.sizes)) {
                // From the first chunk's data to the next chunk's; the last
                // chunk's range runs to the end of the object.
                const size_t last = unit.back();
                const uint64_t to = last + 1 < r.sizes.size() ? r.at[last + 1] : r.wholeFlushed;
                r.rangeBytes += to - r.at[unit.front()];
                ++r.ranges;
            }
            for (size_t e : r.missing) r.objectBytes += Gzip(v2.data + offsets[e], r.sizes[e]);
            vr::ChunkIndex index;
            index.params = r.p;
            index.fileSize = v2.size;
            for (size_t e = 0; e < r.sizes.size(); ++e) {
                const uint8_t* data = v2.data + offsets[e];
                index.chunks.push_back({offsets[e], static_cast<uint32_t>(r.sizes[e]), Hex(r.digests[e]),
                                        vr::FastChunkHash(data, r.sizes[e]), static_cast<int64_t>(r.at[e])});
            }
            const std::string text = vr::FormatChunkIndex(index);
            r.indexBytes = text.size();
            r.indexGz = Gzip(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        });
    }
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t j; (j = next++) < jobs.size();) jobs[j]();
    };
    std::thread helper(worker);
    worker();
    helper.join();

    const double gzRatio = static_cast<double>(wholeGz) / v2.size;
    std::printf("v1 %.1f MiB, v2 %.1f MiB, fresh %.1f MiB\n", v1.size / kMiB, v2.size / kMiB, fresh.size / kMiB);
    std::printf("whole v2 as one plain gzip -6 object: %.2f MiB (%.3f of its size)\n\n", wholeGz / kMiB, gzRatio);

    std::printf("update v1 -> v2: new = chunks of v2 in neither v1 nor earlier in v2; fetched by ranges of the\n"
                "whole object (requests, compressed MiB) or as chunk objects (one request each, MiB); index as\n"
                "text and gzip object; the whole object's growth from its chunk-boundary flushes\n");
    std::printf("%-16s %7s %6s %4s %8s %6s %8s %8s %8s %8s %8s %8s\n", "min/avg/max KiB", "v2 chnk", "mean",
                "new", "new MiB", "ranges", "rng MiB", "of v2.gz", "obj MiB", "ix KiB", "ix gz", "flushes");
    auto name = [](const vr::ChunkParams& p) {
        char s[32];
        std::snprintf(s, sizeof s, "%u/%u/%u", p.minSize >> 10, p.avgSize >> 10, p.maxSize >> 10);
        return std::string(s);
    };
    for (const Row& r : rows) {
        uint64_t newBytes = 0;
        for (size_t e : r.missing) newBytes += r.sizes[e];
        std::printf("%-16s %7zu %6.0f %4zu %8.2f %6zu %8.2f %7.2f%% %8.2f %8.1f %8.1f %7.2f%%\n", name(r.p).c_str(),
                    r.sizes.size(), v2.size / 1024.0 / r.sizes.size(), r.missing.size(), newBytes / kMiB, r.ranges,
                    r.rangeBytes / kMiB, 100.0 * r.rangeBytes / wholeGz, r.objectBytes / kMiB, r.indexBytes / 1024.0,
                    r.indexGz / 1024.0, 100.0 * (static_cast<double>(r.wholeFlushed) / wholeGz - 1));
    }

    std::printf("\ncutting rates, MiB/s of file: the cut alone (v2), with the fast hash and with SHA-256 (v1)\n");
    std::printf("%-16s %8s %8s %8s\n", "min/avg/max KiB", "cut", "+fast", "+sha256");
    for (const Row& r : rows) {
        std::printf("%-16s %8.0f %8.0f %8.0f\n", name(r.p).c_str(), r.cutRate, r.cutFastRate, r.cutShaRate);
    }

    // A fresh download of the fresh file, modelled on the link (compressed
    // at the flushed whole object's ratio): by ranges of at most 32 MiB, and
    // by chunk objects, one request per chunk. Against one connection taking
    // the plain whole object.
    std::printf("\nfresh %.0f MiB, modelled: %d connections, %.0f ms round trip, %.0f Mbit/s each; each request\n"
                "waits a round trip, each connection pays one handshake; the index's fetch left out\n",
                fresh.size / kMiB, kConnections, kRtt * 1000, kConnRate * 8 / 1e6);
    std::printf("%-16s %8s %8s %9s %9s %9s %9s %9s\n", "min/avg/max KiB", "ranges", "seconds", "vs 1 whole",
                "objects", "mean KiB", "seconds", "vs 1 whole");
    const double wholeSeconds = 2 * kRtt + fresh.size * gzRatio / kConnRate;
    for (const Row& r : rows) {
        const double ratio = static_cast<double>(r.wholeFlushed) / v2.size;
        std::vector<size_t> all(r.freshSizes.size());
        for (size_t e = 0; e < all.size(); ++e) all[e] = e;
        std::vector<double> rangeBytes, objectBytes;
        for (const std::vector<size_t>& unit : PlanRanges(all, r.freshSizes)) {
            double b = 0;
            for (size_t e : unit) b += r.freshSizes[e] * ratio;
            rangeBytes.push_back(b);
        }
        for (size_t n : r.freshSizes) objectBytes.push_back(n * ratio);
        const double byRanges = Schedule(rangeBytes), byObjects = Schedule(objectBytes);
        std::printf("%-16s %8zu %8.1f %8.2fx %9zu %9.0f %9.1f %8.2fx\n", name(r.p).c_str(), rangeBytes.size(), byRanges,
                    wholeSeconds / byRanges, objectBytes.size(), fresh.size / 1024.0 / r.freshSizes.size(), byObjects,
                    wholeSeconds / byObjects);
    }
    std::printf("%-16s %8d %8.1f %8.2fx  (plain object, one connection)\n", "whole object", 1, wholeSeconds, 1.0);
    return 0;
}

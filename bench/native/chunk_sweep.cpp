// Chooses the chunk parameters: cuts v1 and v2 with the launcher's own
// chunker at several sizes and prints, per size, what an update from v1 to
// v2 would fetch, what the index costs, how many requests a fresh download
// makes and what those requests cost on a long link.
//
//   chunk_sweep V1 V2 FRESH [AVG_KIB...]      default 128 256 512 1024 2048 4096
//
// min = avg/4 and max = avg*4 for every size. Chunk objects are gzip members
// at zlib level 6, one per chunk, as the publishing tool writes them.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "patcher/chunk_index.h"
#include "patcher/chunker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;

// The link of the peer benchmark: 50 ms round trip, 100 Mbit/s per
// connection, six connections.
constexpr double kRtt = 0.050;
constexpr double kConnRate = 12.5e6;
constexpr int kConnections = 6;

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

// Size of `data` as one gzip member at level 6 (what gzip -6 writes, give or
// take the header's name field).
uint64_t GzipSize(const uint8_t* data, size_t size) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(1 << 20);
    uint64_t total = 0;
    size_t at = 0;
    int flush = Z_NO_FLUSH;
    do {
        const size_t n = std::min<size_t>(size - at, 1u << 30);
        z.next_in = const_cast<uint8_t*>(data + at);
        z.avail_in = static_cast<uInt>(n);
        at += n;
        flush = at == size ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            deflate(&z, flush);
            total += out.size() - z.avail_out;
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
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

// Reads every page once so the first parameter set is not timed against the
// disk.
void Touch(const File& f) {
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < f.size; i += 4096) sink = sink + f.data[i];
}

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

    // The whole v2 as one gzip object: what an update costs without chunks.
    // On the other core while the sweep runs.
    uint64_t wholeGz = 0;
    double wholeGzSeconds = 0;
    std::thread whole([&] {
        const auto t = Clock::now();
        wholeGz = GzipSize(v2.data, v2.size);
        wholeGzSeconds = Seconds(t);
    });
    Touch(v1);
    Touch(v2);
    Touch(fresh);

    struct Row {
        vr::ChunkParams p;
        size_t v2Chunks = 0, newChunks = 0, freshChunks = 0;
        uint64_t newBytes = 0, newGz = 0, indexBytes = 0, indexGz = 0;
        double cutRate = 0, cutFastRate = 0, cutShaRate = 0;
    };
    std::vector<Row> rows;
    for (uint32_t avg : avgs) {
        Row r;
        r.p = {avg / 4, avg, avg * 4};
        if (!vr::ValidChunkParams(r.p)) {
            std::fprintf(stderr, "skipping avg %u KiB: parameters the chunker refuses\n", avg >> 10);
            continue;
        }
        // v1 as the launcher sees its old copy: cut and hash every chunk.
        auto t = Clock::now();
        std::unordered_set<Digest, DigestHash> old;
        for (size_t at = 0; at < v1.size;) {
            const size_t n = vr::FindChunkEnd(v1.data + at, v1.size - at, r.p);
            old.insert(Sha256(v1.data + at, n));
            at += n;
        }
        r.cutShaRate = v1.size / kMiB / Seconds(t);
        // The same with the fast candidate hash the launcher computes over
        // its old copy instead.
        t = Clock::now();
        uint64_t mix = 0;
        for (size_t at = 0; at < v1.size;) {
            const size_t n = vr::FindChunkEnd(v1.data + at, v1.size - at, r.p);
            mix ^= vr::FastChunkHash(v1.data + at, n);
            at += n;
        }
        r.cutFastRate = v1.size / kMiB / Seconds(t);
        if (mix == 42) std::fprintf(stderr, " ");  // keeps the hashes from being optimised away

        // v2: the cut alone, then the hashes and the index.
        t = Clock::now();
        const std::vector<size_t> sizes = Cut(v2, r.p);
        r.cutRate = v2.size / kMiB / Seconds(t);
        r.v2Chunks = sizes.size();
        vr::ChunkIndex index;
        index.params = r.p;
        index.fileSize = v2.size;
        std::unordered_set<Digest, DigestHash> fetched;
        size_t at = 0;
        for (size_t n : sizes) {
            const uint8_t* data = v2.data + at;
            const Digest d = Sha256(data, n);
            index.chunks.push_back({at, static_cast<uint32_t>(n), Hex(d), vr::FastChunkHash(data, n)});
            // A chunk found in v1, or already fetched for an earlier place in
            // v2, costs nothing.
            if (!old.count(d) && fetched.insert(d).second) {
                ++r.newChunks;
                r.newBytes += n;
                r.newGz += GzipSize(data, n);
            }
            at += n;
        }
        const std::string text = vr::FormatChunkIndex(index);
        r.indexBytes = text.size();
        r.indexGz = GzipSize(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        r.freshChunks = Cut(fresh, r.p).size();
        rows.push_back(r);
        std::fprintf(stderr, "avg %u KiB done\n", avg >> 10);
    }
    whole.join();

    const double gzRatio = static_cast<double>(wholeGz) / v2.size;
    std::printf("v1 %.1f MiB, v2 %.1f MiB, fresh %.1f MiB\n", v1.size / kMiB, v2.size / kMiB, fresh.size / kMiB);
    std::printf("whole v2 as one gzip -6 object: %.1f MiB (%.3f of its size; %.1f s, %.1f MiB/s)\n\n",
                wholeGz / kMiB, gzRatio, wholeGzSeconds, v2.size / kMiB / wholeGzSeconds);

    std::printf("update v1 -> v2 (new = chunks of v2 in neither v1 nor earlier in v2; mean chunk KiB;\n"
                "index as text and as its gzip object; cutting rates in MiB/s of file)\n");
    std::printf("%-16s %7s %6s %4s %8s %8s %8s %8s %8s %8s %8s %8s\n", "min/avg/max KiB", "v2 chnk", "mean", "new",
                "new MiB", "new gz", "of v2.gz", "ix KiB", "ix gz", "cut/s", "+fast/s", "+sha/s");
    for (const Row& r : rows) {
        char params[32];
        std::snprintf(params, sizeof params, "%u/%u/%u", r.p.minSize >> 10, r.p.avgSize >> 10, r.p.maxSize >> 10);
        std::printf("%-16s %7zu %6.0f %4zu %8.2f %8.2f %7.2f%% %8.1f %8.1f %8.0f %8.0f %8.0f\n", params, r.v2Chunks,
                    v2.size / 1024.0 / r.v2Chunks, r.newChunks, r.newBytes / kMiB, r.newGz / kMiB,
                    100.0 * r.newGz / wholeGz, r.indexBytes / 1024.0, r.indexGz / 1024.0, r.cutRate, r.cutFastRate,
                    r.cutShaRate);
    }

    // A fresh download of the 1 GiB file by chunks: each request waits one
    // round trip before its bytes flow (no pipelining), so a connection
    // moves c / (rtt + c/rate) for chunk objects of c bytes. The whole file
    // as one object over one connection moves at the full rate.
    std::printf("\nfresh %.0f MiB by chunks: %d connections, %.0f ms round trip, %.0f Mbit/s each; "
                "chunk objects at the whole-file gzip ratio %.3f\n",
                fresh.size / kMiB, kConnections, kRtt * 1000, kConnRate * 8 / 1e6, gzRatio);
    std::printf("%-16s %9s %12s %12s %13s %13s\n", "min/avg/max KiB", "requests", "mean KiB", "gz KiB/req",
                "vs 1 whole", "est. seconds");
    const double wholeSeconds = fresh.size * gzRatio / kConnRate + 2 * kRtt;
    for (const Row& r : rows) {
        char params[32];
        std::snprintf(params, sizeof params, "%u/%u/%u", r.p.minSize >> 10, r.p.avgSize >> 10, r.p.maxSize >> 10);
        const double mean = static_cast<double>(fresh.size) / r.freshChunks;
        const double c = mean * gzRatio;
        const double perConn = c / (kRtt + c / kConnRate);
        const double rate = perConn * kConnections;
        const double seconds = fresh.size * gzRatio / rate + 2 * kRtt;
        std::printf("%-16s %9zu %12.0f %12.0f %12.2fx %13.1f\n", params, r.freshChunks + 1, mean / 1024, c / 1024,
                    rate / kConnRate, seconds);
    }
    std::printf("%-16s %9d %12s %12.0f %12.2fx %13.1f\n", "whole object", 1, "-", fresh.size * gzRatio / 1024, 1.0,
                wholeSeconds);
    return 0;
}

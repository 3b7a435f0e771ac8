// Decode throughput of GzipStream (256 KiB input blocks, null sink) against
// zlib's own gzip inflate of the same member into one buffer, in the same
// run. Goal: ratio >= 0.95. Usage: bench_gzip_decode.exe [MiB] [rounds]
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "net/gzip_stream.h"
#include "support/gzip_util.h"

namespace {

// Game-file-like data: runs of noise mixed with repeats from up to 32 KiB
// back, compressing to roughly half.
std::string SampleData(size_t size) {
    std::mt19937 rng(12345);
    std::string out;
    out.reserve(size + 4096);
    while (out.size() < 40000) out.push_back(static_cast<char>(rng()));
    while (out.size() < size) {
        size_t length = 32 + rng() % 400;
        if (rng() % 3 == 0) {
            for (size_t i = 0; i < length; ++i) out.push_back(static_cast<char>(rng() & 0x3F));
        } else {
            size_t from = out.size() - (1 + rng() % 32000);
            for (size_t i = 0; i < length; ++i) out.push_back(out[from + i]);
        }
    }
    out.resize(size);
    return out;
}

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

double TimeZlib(const std::string& member, std::vector<uint8_t>& out) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    z_stream zs{};
    inflateInit2(&zs, 31);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
    zs.avail_in = static_cast<uInt>(member.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
    QueryPerformanceCounter(&t1);
    if (rc != Z_STREAM_END) std::printf("zlib inflate failed: %d\n", rc);
    return Seconds(t0, t1);
}

// The same work without our wrapper: zlib's gzip mode, 256 KiB input blocks,
// output into one reused 32 KiB buffer.
double TimeZlibWindow(const std::string& member) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    std::vector<uint8_t> window(32768);
    z_stream zs{};
    inflateInit2(&zs, 31);
    int rc = Z_OK;
    for (size_t at = 0; at < member.size() && rc == Z_OK; at += 262144) {
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data() + at));
        zs.avail_in = static_cast<uInt>(std::min<size_t>(262144, member.size() - at));
        do {
            zs.next_out = window.data();
            zs.avail_out = static_cast<uInt>(window.size());
            rc = inflate(&zs, Z_NO_FLUSH);
        } while (rc == Z_OK && (zs.avail_in > 0 || zs.avail_out == 0));
    }
    inflateEnd(&zs);
    QueryPerformanceCounter(&t1);
    if (rc != Z_STREAM_END) std::printf("zlib window inflate failed: %d\n", rc);
    return Seconds(t0, t1);
}

double TimeStream(const std::string& member, uint64_t expected) {
    LARGE_INTEGER t0, t1;
    uint64_t produced = 0;
    QueryPerformanceCounter(&t0);
    vr::GzipStream stream([&produced](const uint8_t*, uint64_t n) {
        produced += n;
        return true;
    });
    const auto* data = reinterpret_cast<const uint8_t*>(member.data());
    bool ok = true;
    for (size_t at = 0; at < member.size() && ok; at += 262144) {
        ok = stream.Feed(data + at, std::min<size_t>(262144, member.size() - at));
    }
    ok = ok && stream.Finish();
    QueryPerformanceCounter(&t1);
    if (!ok || produced != expected)
        std::printf("GzipStream failed (%llu bytes)\n", static_cast<unsigned long long>(produced));
    return Seconds(t0, t1);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 128;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string data = SampleData(mib << 20);
    const std::string member = vr::test::Gzip(data, 6);
    std::vector<uint8_t> out(data.size());
    std::printf("data %zu MiB, gzip member %.1f MiB (level 6), %d rounds, best of each\n", mib,
                static_cast<double>(member.size()) / 1048576.0, rounds);

    double bestZlib = 1e9, bestWindow = 1e9, bestStream = 1e9;
    for (int r = 0; r < rounds; ++r) {
        bestZlib = std::min(bestZlib, TimeZlib(member, out));
        bestWindow = std::min(bestWindow, TimeZlibWindow(member));
        bestStream = std::min(bestStream, TimeStream(member, data.size()));
    }
    if (!std::equal(out.begin(), out.end(), reinterpret_cast<const uint8_t*>(data.data()))) {
        std::printf("zlib output differs!\n");
    }
    const double mb = static_cast<double>(data.size()) / 1048576.0;
    std::printf("zlib inflate into one buffer : %8.1f MiB/s (output)\n", mb / bestZlib);
    std::printf("GzipStream, 256 KiB blocks   : %8.1f MiB/s (output)\n", mb / bestStream);
    std::printf("zlib inflate, 32 KiB window  : %8.1f MiB/s (output)\n", mb / bestWindow);
    std::printf("ratio GzipStream / zlib      : %8.3f (one buffer)  %.3f (32 KiB window)\n", bestZlib / bestStream,
                bestWindow / bestStream);
    return 0;
}

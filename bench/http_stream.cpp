// Streams a large gzip body (default 1 GiB on the wire) from the loopback
// test server through Http::Get + GzipStream into a file and reports the
// process's working set during and after the pass: it must stay flat. In the
// same run it measures the bare platform rate, a plain WinHTTP read loop over
// the same object, and Http::Get alone, and prints our ratios to it.
// Usage: bench_http_stream.exe [MiB on the wire]
#include <windows.h>
#include <psapi.h>
#include <winhttp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/gzip_stream.h"
#include "net/http.h"
#include "support/http_server.h"

namespace {

constexpr size_t kSegment = 8u << 20;

// A gzip member of any length built from one compressed segment repeated:
// deflate with Z_FULL_FLUSH resets the encoder, so each copy decodes on its
// own. head = header + first copy, body = later copies, tail = final block
// (+ a trailer whose CRC is wrong for the repeats; it is never checked).
struct Member {
    std::string raw;
    std::string head, body, tail;
    uint64_t copies = 0;  // copies of `body`
    uint64_t Size() const { return head.size() + copies * body.size() + tail.size(); }
    uint64_t RawSize() const { return (copies + 1) * raw.size(); }
};

std::string Deflate(z_stream& zs, const std::string& in, int flush) {
    std::string out(in.size() + in.size() / 8 + 1024, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, flush);
    out.resize(out.size() - zs.avail_out);
    return out;
}

Member MakeMember(uint64_t wireBytes) {
    Member m;
    std::mt19937 rng(777);
    // Mostly noise with some repeats: compresses only a little, like packed game data.
    m.raw.reserve(kSegment + 1024);
    while (m.raw.size() < kSegment) {
        size_t length = 16 + rng() % 200;
        if (m.raw.size() > 4096 && rng() % 5 == 0) {
            size_t from = m.raw.size() - (1 + rng() % 4000);
            for (size_t i = 0; i < length; ++i) m.raw.push_back(m.raw[from + i]);
        } else {
            for (size_t i = 0; i < length; ++i) m.raw.push_back(static_cast<char>(rng()));
        }
    }
    m.raw.resize(kSegment);
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    m.head = Deflate(zs, m.raw, Z_FULL_FLUSH);
    m.body = Deflate(zs, m.raw, Z_FULL_FLUSH);
    m.tail = Deflate(zs, std::string(), Z_FINISH);
    deflateEnd(&zs);
    const uint64_t fixed = m.head.size() + m.tail.size();
    m.copies = wireBytes > fixed ? (wireBytes - fixed + m.body.size() - 1) / m.body.size() : 0;
    return m;
}

vr::test::BodyProducer Produce(const Member& m) {
    struct Cursor {
        int part = 0;  // 0 head, 1 body copies, 2 tail, 3 done
        uint64_t copy = 0;
        size_t offset = 0;
    };
    auto cursor = std::make_shared<Cursor>();
    return [&m, cursor](uint8_t* dst, size_t cap) -> size_t {
        Cursor& c = *cursor;
        while (c.part < 3) {
            const std::string& piece = c.part == 0 ? m.head : c.part == 1 ? m.body : m.tail;
            const bool empty = c.part == 1 && c.copy >= m.copies;
            if (!empty && c.offset < piece.size()) {
                size_t n = std::min(cap, piece.size() - c.offset);
                std::memcpy(dst, piece.data() + c.offset, n);
                c.offset += n;
                return n;
            }
            c.offset = 0;
            if (c.part == 1 && ++c.copy < m.copies) continue;
            ++c.part;
        }
        return 0;
    };
}

double Now() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

PROCESS_MEMORY_COUNTERS Memory() {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return pmc;
}

double MiB(uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

// The platform alone: WinHTTP's synchronous read loop, nothing else.
uint64_t BareWinHttp(uint16_t port, const wchar_t* path) {
    uint64_t total = 0;
    HINTERNET s =
        WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET c = s ? WinHttpConnect(s, L"127.0.0.1", port, 0) : nullptr;
    HINTERNET r =
        c ? WinHttpOpenRequest(c, L"GET", path, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0) : nullptr;
    if (r && WinHttpSendRequest(r, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(r, nullptr)) {
        std::vector<uint8_t> buffer(262144);
        // The documented synchronous pattern: ask what is there, read that.
        for (;;) {
            DWORD available = 0, read = 0;
            if (!WinHttpQueryDataAvailable(r, &available) || available == 0) break;
            if (!WinHttpReadData(r, buffer.data(), std::min<DWORD>(available, 262144), &read) || read == 0) break;
            total += read;
        }
    }
    if (r) WinHttpCloseHandle(r);
    if (c) WinHttpCloseHandle(c);
    if (s) WinHttpCloseHandle(s);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t wire = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024) << 20;
    const uint64_t rateWire = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64) << 20;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 8;
    const Member member = MakeMember(wire);
    Member rateMember = member;
    rateMember.copies = rateWire > member.head.size() ? (rateWire - member.head.size()) / member.body.size() : 0;

    vr::test::HttpServer server;
    vr::test::Reply reply;
    reply.producer = [&member] { return Produce(member); };
    reply.producedSize = member.Size();
    server.Set("/big.bin.gz", reply);
    reply.producer = [&rateMember] { return Produce(rateMember); };
    reply.producedSize = rateMember.Size();
    server.Set("/rate.bin.gz", reply);
    const std::wstring url = server.WUrl() + L"big.bin.gz";
    const std::wstring rateUrl = server.WUrl() + L"rate.bin.gz";

    wchar_t tempDir[MAX_PATH];
    GetTempPathW(MAX_PATH, tempDir);
    const std::wstring target = std::wstring(tempDir) + L"vr_bench_http_stream.bin";
    vr::Http http;

    // The real pipeline: Get -> GzipStream -> WriteFile, every byte checked.
    struct Pass {
        bool ok = false;
        bool exact = false;
        uint64_t decoded = 0;
        double seconds = 0;
    };
    auto pipeline = [&](const std::wstring& from, const Member& m, std::vector<double>* samples) {
        Pass pass;
        HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        bool same = true;
        vr::GzipStream stream([&](const uint8_t* data, uint64_t size) {
            for (uint64_t done = 0; done < size;) {
                size_t at = static_cast<size_t>((pass.decoded + done) % m.raw.size());
                size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, m.raw.size() - at));
                if (std::memcmp(data + done, m.raw.data() + at, n) != 0) same = false;
                done += n;
            }
            pass.decoded += size;
            DWORD written = 0;
            return WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
        });
        uint64_t nextSample = 0;
        const double t0 = Now();
        vr::HttpStatus st = http.Get(
            from, [&](const uint8_t* d, uint64_t n) { return stream.Feed(d, n); },
            [&](uint64_t received, uint64_t) {
                if (samples && received >= nextSample) {
                    samples->push_back(MiB(Memory().WorkingSetSize));
                    nextSample += 64u << 20;
                }
            },
            nullptr);
        pass.ok = st == vr::HttpStatus::Ok && stream.Finish();
        pass.seconds = Now() - t0;
        CloseHandle(file);
        DeleteFileW(target.c_str());
        pass.exact = same && pass.decoded == m.RawSize();
        return pass;
    };

    // 1. Memory: the large body once, sampling the working set every 64 MiB.
    std::printf("memory pass: %.1f MiB gzip on the wire, %.1f MiB decoded to a file\n", MiB(member.Size()),
                MiB(member.RawSize()));
    const PROCESS_MEMORY_COUNTERS before = Memory();
    std::vector<double> samples;
    const Pass big = pipeline(url, member, &samples);
    const PROCESS_MEMORY_COUNTERS after = Memory();
    std::printf("  %s %s in %.1f s (%.1f MiB/s on the wire)\n", big.ok ? "ok" : "FAILED", big.exact ? "exact" : "WRONG",
                big.seconds, MiB(member.Size()) / big.seconds);
    std::printf("  working set MiB: before %.1f, during min %.1f max %.1f (%zu samples), after %.1f; peak %.1f\n",
                MiB(before.WorkingSetSize), *std::min_element(samples.begin(), samples.end()),
                *std::max_element(samples.begin(), samples.end()), samples.size(), MiB(after.WorkingSetSize),
                MiB(after.PeakWorkingSetSize));
    std::printf("  samples:");
    for (size_t i = 0; i < samples.size(); i += std::max<size_t>(1, samples.size() / 8))
        std::printf(" %.1f", samples[i]);
    std::printf("\n");

    // 2. Rates on a smaller object, modes interleaved, best of `rounds`: the
    // machine is shared, so single runs swing widely.
    double bestBare = 1e9, bestGet = 1e9, bestGzip = 1e9, bestPipe = 1e9;
    bool allOk = big.ok && big.exact;
    for (int r = 0; r < rounds; ++r) {
        double t0 = Now();
        allOk &= BareWinHttp(server.Port(), L"/rate.bin.gz") == rateMember.Size();
        bestBare = std::min(bestBare, Now() - t0);

        t0 = Now();
        uint64_t got = 0;
        allOk &= http.Get(
                     rateUrl,
                     [&got](const uint8_t*, uint64_t n) {
                         got += n;
                         return true;
                     },
                     vr::ProgressFn(), nullptr) == vr::HttpStatus::Ok &&
                 got == rateMember.Size();
        bestGet = std::min(bestGet, Now() - t0);

        t0 = Now();
        uint64_t inflated = 0;
        vr::GzipStream nullStream([&inflated](const uint8_t*, uint64_t n) {
            inflated += n;
            return true;
        });
        allOk &= http.Get(
                     rateUrl, [&](const uint8_t* d, uint64_t n) { return nullStream.Feed(d, n); }, vr::ProgressFn(),
                     nullptr) == vr::HttpStatus::Ok &&
                 nullStream.Finish() && inflated == rateMember.RawSize();
        bestGzip = std::min(bestGzip, Now() - t0);

        const Pass p = pipeline(rateUrl, rateMember, nullptr);
        allOk &= p.ok && p.exact;
        bestPipe = std::min(bestPipe, p.seconds);
    }
    const double mb = MiB(rateMember.Size());
    std::printf("rates: %.1f MiB gzip on the wire (%.1f MiB decoded), best of %d\n", mb, MiB(rateMember.RawSize()),
                rounds);
    std::printf("  bare WinHTTP read loop       : %7.1f MiB/s\n", mb / bestBare);
    std::printf("  Http::Get, null receiver     : %7.1f MiB/s  ratio to bare %.3f\n", mb / bestGet, bestBare / bestGet);
    std::printf("  Get + GzipStream, null sink  : %7.1f MiB/s  ratio to bare %.3f\n", mb / bestGzip,
                bestBare / bestGzip);
    std::printf("  Get + GzipStream + file      : %7.1f MiB/s  ratio to bare %.3f\n", mb / bestPipe,
                bestBare / bestPipe);
    std::printf("%s\n", allOk ? "all transfers complete and exact" : "SOME TRANSFER FAILED");
    return allOk ? 0 : 1;
}

// Patch run throughput: publishes N gzip objects on the loopback test server
// and times Patcher::Run from an empty game folder, against a plain WinHTTP
// read loop + zlib inflate of the same objects measured in the same run.
//
//   bench_patch_run.exe [--files N] [--mib TOTAL] [--rounds R] [--export WINDOWS_DIR]
//
// Each round runs the three modes one after another; the best time of each
// mode over the rounds is reported, which damps the noise of a shared machine.
//
// --export only writes the same objects and a URL list to the folder, for the
// native curl + gzip -dc baseline (commands in docs/benchmarks.md).
#include <windows.h>
#include <winhttp.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/gzip_stream.h"
#include "net/http.h"
#include "patcher/patcher.h"
#include "platform/launcher_config.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

uint64_t Next(uint64_t& s) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

// Game-like content: random stretches mixed with repeated ones, about 2:1
// under gzip level 6.
std::string Content(size_t size, uint64_t seed) {
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

struct Object {
    std::string name;  // relative path, '/' separated
    uint64_t size = 0;
    std::string gz;
};

struct Session {
    HINTERNET h = nullptr;
    ~Session() {
        if (h) WinHttpCloseHandle(h);
    }
};

// The platform ceiling: one session, then connect / request / read / inflate
// for each object, output discarded.
bool BaselineFetch(HINTERNET session, uint16_t port, const std::wstring& path, uint64_t expected) {
    Session connect{WinHttpConnect(session, L"127.0.0.1", port, 0)};
    if (!connect.h) return false;
    Session request{WinHttpOpenRequest(connect.h, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, 0)};
    if (!request.h || !WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.h, nullptr)) {
        return false;
    }
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    std::vector<uint8_t> in(262144), out(262144);
    uint64_t produced = 0;
    bool ok = true;
    for (;;) {
        DWORD avail = 0, got = 0;
        if (!WinHttpQueryDataAvailable(request.h, &avail)) { ok = false; break; }
        if (avail == 0) break;
        if (!WinHttpReadData(request.h, in.data(), std::min<DWORD>(avail, in.size()), &got)) { ok = false; break; }
        if (got == 0) break;
        z.next_in = in.data();
        z.avail_in = got;
        while (z.avail_in > 0) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            const int r = inflate(&z, Z_NO_FLUSH);
            produced += out.size() - z.avail_out;
            if (r == Z_STREAM_END) break;
            if (r != Z_OK && r != Z_BUF_ERROR) { ok = false; break; }
        }
        if (!ok) break;
    }
    inflateEnd(&z);
    return ok && produced == expected;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 2000, rounds = 1;
    double totalMib = 1024;
    std::wstring exportDir;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--files") files = std::atoi(argv[i + 1]);
        if (a == "--mib") totalMib = std::atof(argv[i + 1]);
        if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--export") exportDir = vr::Utf8ToWide(argv[i + 1]);
    }

    // Sizes log-uniform between 4 KiB and 4 MiB, scaled to the total.
    uint64_t seed = 42;
    std::vector<double> raw(files);
    double sum = 0;
    for (double& r : raw) {
        r = 4096.0 * std::pow(1024.0, static_cast<double>(Next(seed) % 1000000) / 1000000.0);
        sum += r;
    }
    const double scale = totalMib * 1048576.0 / sum;

    std::printf("publishing %d files...\n", files);
    std::fflush(stdout);
    vr::test::HttpServer server;
    std::vector<Object> objects(files);
    std::string list = "v 29\n";
    uint64_t plainBytes = 0, gzBytes = 0;
    for (int i = 0; i < files; ++i) {
        Object& o = objects[i];
        const int dir = i / 100;
        if (i % 100 == 0) list += "d dir" + std::to_string(dir) + "\n";
        o.name = "dir" + std::to_string(dir) + "/file" + std::to_string(i) + ".bin";
        o.size = std::clamp<uint64_t>(static_cast<uint64_t>(raw[i] * scale), 4096, 4 << 20);
        o.gz = vr::test::Gzip(Content(o.size, i + 1), 6);
        list += "f 1600000000 " + std::to_string(o.size) + " 0 file" + std::to_string(i) + ".bin\n";
        plainBytes += o.size;
        gzBytes += o.gz.size();
        server.Serve("/" + o.name + ".gz", o.gz);
    }
    server.Serve("/list.txt.gz", vr::test::Gzip(list));

    if (!exportDir.empty()) {
        std::string urls;
        for (const Object& o : objects) {
            std::wstring path = exportDir + L"\\" + vr::Utf8ToWide(o.name) + L".gz";
            for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
            CreateDirectoryW(exportDir.c_str(), nullptr);
            CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
            HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD w = 0;
            WriteFile(h, o.gz.data(), static_cast<DWORD>(o.gz.size()), &w, nullptr);
            CloseHandle(h);
            urls += o.name + ".gz\n";
        }
        HANDLE h = CreateFileW((exportDir + L"\\urls.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD w = 0;
        WriteFile(h, urls.data(), static_cast<DWORD>(urls.size()), &w, nullptr);
        CloseHandle(h);
        std::printf("exported %d objects; nothing measured\n", files);
        return 0;
    }

    const double plainMib = plainBytes / 1048576.0, gzMib = gzBytes / 1048576.0;
    std::printf("objects: %d, %.1f MiB plain, %.1f MiB compressed\n", files, plainMib, gzMib);

    // The platform ceiling, then the client layer alone (Http::Get +
    // GzipStream, output discarded), then the whole pass, which also creates,
    // writes and stamps every file.
    Session session{WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    const vr::Http http(vr::kClientUserAgent);
    vr::LauncherConfig config;
    config.mirrors = {server.WUrl()};
    config.serverUrl = server.WUrl();
    config.patchVersion = 29;
    double baseSec = 1e30, clientSec = 1e30, runSec = 1e30;
    int baseFailures = 0, clientFailures = 0, done = 0;
    vr::PatchResult result = vr::PatchResult::Finished;
    for (int round = 0; round < rounds; ++round) {
        const auto b0 = Clock::now();
        for (const Object& o : objects) {
            baseFailures += !BaselineFetch(session.h, server.Port(), vr::Utf8ToWide("/" + o.name + ".gz"), o.size);
        }
        baseSec = std::min(baseSec, Seconds(b0, Clock::now()));

        const auto h0 = Clock::now();
        for (const Object& o : objects) {
            uint64_t produced = 0;
            vr::GzipStream gz([&produced](const uint8_t*, uint64_t n) {
                produced += n;
                return true;
            });
            const vr::HttpStatus r = http.Get(
                server.WUrl() + vr::Utf8ToWide(o.name + ".gz"),
                [&gz](const uint8_t* d, uint64_t n) { return gz.Feed(d, n); }, nullptr, nullptr);
            clientFailures += !(r == vr::HttpStatus::Ok && gz.Finish() && produced == o.size);
        }
        clientSec = std::min(clientSec, Seconds(h0, Clock::now()));

        vr::test::TempDir game;  // empty every round
        vr::Patcher patcher(config, game.path());
        std::atomic<bool> cancel{false};
        vr::PatchCallbacks callbacks;
        callbacks.filesDone = [&](int d, int) { done = d; };
        const auto p0 = Clock::now();
        result = patcher.Run(cancel, callbacks);
        runSec = std::min(runSec, Seconds(p0, Clock::now()));
        if (result != vr::PatchResult::Finished || done != files) break;
    }

    std::printf("baseline  WinHTTP + zlib inflate: %.2f s, %.1f MiB/s plain, %.1f MiB/s compressed%s\n", baseSec,
                plainMib / baseSec, gzMib / baseSec, baseFailures ? " (FAILURES)" : "");
    std::printf("Http::Get + GzipStream, no file:  %.2f s, %.1f MiB/s plain, %.1f MiB/s compressed%s\n", clientSec,
                plainMib / clientSec, gzMib / clientSec, clientFailures ? " (FAILURES)" : "");
    std::printf("Patcher::Run (result %d, %d files): %.2f s, %.1f MiB/s plain, %.1f MiB/s compressed\n",
                static_cast<int>(result),
                done, runSec, plainMib / runSec, gzMib / runSec);
    std::printf("ratio Run / baseline throughput: %.2f\n", baseSec / runSec);
    std::printf("ratio Run / client-only throughput: %.2f\n", clientSec / runSec);
    return result == vr::PatchResult::Finished && done == files && baseFailures == 0 && clientFailures == 0 ? 0 : 1;
}

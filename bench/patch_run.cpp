// Patch run throughput: publishes N gzip objects on the loopback test server
// and times Patcher::Run from an empty game folder, against a plain WinHTTP
// read loop + zlib inflate of the same objects measured in the same run.
//
//   bench_patch_run.exe [--files N] [--mib TOTAL] [--rounds R] [--connections C] [--hashes 1]
//                       [--export WINDOWS_DIR]
//
// Each round runs the modes one after another: the bare loop, the client
// alone, Patcher::Run with one connection and with C (default: the shipped
// default); the best time of each mode over the rounds is reported, which
// damps the noise of a shared machine. The working set is sampled every
// 20 ms during each Run; its growth over the value before the Run (with the
// sampling thread already running) is printed.
// The test server runs in a child process (this program with --serve), since
// it copies each body per request and would otherwise count in the growth.
//
// --hashes 1 lists every file's SHA-256, so each download is hashed as it
// streams (a helper thread per file from 4 MiB up), as with a real list.
//
// --export only writes the same objects and a URL list to the folder, for the
// native curl + gzip -dc baseline (commands in docs/benchmarks.md).
#include <windows.h>
#include <psapi.h>
#include <winhttp.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/gzip_stream.h"
#include "net/http.h"
#include "net/sha256.h"
#include "patcher/patcher.h"
#include "platform/launcher_config.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
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

std::string Content(size_t size, uint64_t seed) { return vr::test::GameLikeContent(size, seed); }

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
    if (!request.h ||
        !WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
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
        if (!WinHttpQueryDataAvailable(request.h, &avail)) {
            ok = false;
            break;
        }
        if (avail == 0) break;
        if (!WinHttpReadData(request.h, in.data(), std::min<DWORD>(avail, in.size()), &got)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        z.next_in = in.data();
        z.avail_in = got;
        while (z.avail_in > 0) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            const int r = inflate(&z, Z_NO_FLUSH);
            produced += out.size() - z.avail_out;
            if (r == Z_STREAM_END) break;
            if (r != Z_OK && r != Z_BUF_ERROR) {
                ok = false;
                break;
            }
        }
        if (!ok) break;
    }
    inflateEnd(&z);
    return ok && produced == expected;
}

double WorkingSetMib() {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return static_cast<double>(pmc.WorkingSetSize) / 1048576.0;
}

// Samples the working set while it lives; Growth() is the largest value seen
// minus the value at construction. The value before is taken once the
// sampling thread runs: a thread costs about 1 MiB under Wine
// (bench_thread_memory), which is the benchmark's, not the launcher's.
class WorkingSetWatch {
public:
    WorkingSetWatch() {
        thread = std::thread([this] {
            running = true;
            while (!go) Sleep(1);
            while (!stop) {
                peak = std::max(peak.load(), WorkingSetMib());
                Sleep(20);
            }
        });
        while (!running) Sleep(1);
        Sleep(20);
        before = WorkingSetMib();
        peak = before;
        go = true;
    }
    ~WorkingSetWatch() { Stop(); }
    void Stop() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    double Growth() const { return peak - before; }

private:
    double before = 0;
    std::atomic<double> peak{0};
    std::atomic<bool> running{false};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::thread thread;
};

struct Child {
    HANDLE process = nullptr;
    HANDLE input = nullptr;  // closing it ends the child
    uint16_t port = 0;
    uint64_t gzBytes = 0;
    ~Child() {
        if (input) CloseHandle(input);
        if (process) {
            WaitForSingleObject(process, 30000);
            CloseHandle(process);
        }
    }
};

// This program again with --serve, the same object arguments, and a pipe as
// its input; returns once the child has published and written its port.
Child StartServer(int argc, char** argv) {
    Child child;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring portFile = std::wstring(temp) + L"bench_patch_run." + std::to_wstring(GetCurrentProcessId());
    DeleteFileW(portFile.c_str());
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" --serve \"" + portFile + L"\"";
    for (int i = 1; i < argc; ++i) cmd += L" \"" + vr::Utf8ToWide(argv[i]) + L"\"";
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &sa, 0)) return child;
    SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = read;
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL ok = CreateProcessW(self, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(read);
    if (!ok) {
        CloseHandle(write);
        return child;
    }
    CloseHandle(pi.hThread);
    child.process = pi.hProcess;
    child.input = write;
    for (;;) {
        HANDLE h = CreateFileW(portFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            char buf[64] = {};
            DWORD got = 0;
            ReadFile(h, buf, sizeof buf - 1, &got, nullptr);
            CloseHandle(h);
            DeleteFileW(portFile.c_str());
            unsigned long long gz = 0;
            unsigned port = 0;
            std::sscanf(buf, "%u %llu", &port, &gz);
            child.port = static_cast<uint16_t>(port);
            child.gzBytes = gz;
            return child;
        }
        if (WaitForSingleObject(child.process, 100) == WAIT_OBJECT_0) {
            CloseHandle(child.process);
            child.process = nullptr;
            return child;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int files = 2000, rounds = 1;
    int connections = vr::LauncherConfig().connections;
    double totalMib = 1024;
    std::wstring exportDir;
    std::string serveTo;  // --serve PORTFILE: the child that serves the objects
    bool hashes = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--serve") serveTo = argv[i + 1];
        if (a == "--files") files = std::atoi(argv[i + 1]);
        if (a == "--mib") totalMib = std::atof(argv[i + 1]);
        if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--connections") connections = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--export") exportDir = vr::Utf8ToWide(argv[i + 1]);
        if (a == "--hashes") hashes = std::atoi(argv[i + 1]) != 0;
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

    const bool serving = !serveTo.empty() || !exportDir.empty();
    std::unique_ptr<vr::test::HttpServer> server;
    if (serving) server = std::make_unique<vr::test::HttpServer>();
    std::vector<Object> objects(files);
    std::string list = hashes ? "#hash sha256\nv 29\n" : "v 29\n";
    uint64_t plainBytes = 0, gzBytes = 0;
    for (int i = 0; i < files; ++i) {
        Object& o = objects[i];
        const int dir = i / 100;
        if (i % 100 == 0) list += "d dir" + std::to_string(dir) + "\n";
        o.name = "dir" + std::to_string(dir) + "/file" + std::to_string(i) + ".bin";
        o.size = std::clamp<uint64_t>(static_cast<uint64_t>(raw[i] * scale), 4096, 4 << 20);
        plainBytes += o.size;
        // Only the serving child needs the list's hashes.
        const std::string content = serving ? Content(o.size, i + 1) : std::string();
        std::string hash = "0";
        if (hashes && serving) {
            vr::Sha256 sha;
            vr::Sha256Digest digest{};
            sha.Update(reinterpret_cast<const uint8_t*>(content.data()), content.size());
            if (sha.Finish(digest)) hash = vr::DigestHex(digest);
        }
        list += "f 1600000000 " + std::to_string(o.size) + " " + hash + " file" + std::to_string(i) + ".bin\n";
        if (!serving) continue;
        o.gz = vr::test::Gzip(content, 6);
        gzBytes += o.gz.size();
        server->Serve("/" + o.name + ".gz", o.gz);
    }
    if (serving) server->Serve("/list.txt.gz", vr::test::Gzip(list));
    if (!serveTo.empty()) {
        // Tells the parent the port and the compressed total, then serves
        // until the parent closes our input.
        const std::string info = std::to_string(server->Port()) + " " + std::to_string(gzBytes);
        HANDLE h = CreateFileW(vr::Utf8ToWide(serveTo + ".tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD w = 0;
        WriteFile(h, info.data(), static_cast<DWORD>(info.size()), &w, nullptr);
        CloseHandle(h);
        MoveFileW(vr::Utf8ToWide(serveTo + ".tmp").c_str(), vr::Utf8ToWide(serveTo).c_str());
        char c;
        DWORD got = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got > 0) {
        }
        return 0;
    }

    if (!exportDir.empty()) {
        std::string urls;
        for (const Object& o : objects) {
            std::wstring path = exportDir + L"\\" + vr::Utf8ToWide(o.name) + L".gz";
            for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
            CreateDirectoryW(exportDir.c_str(), nullptr);
            CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
            HANDLE h =
                CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

    std::printf("publishing %d files in a server process...\n", files);
    std::fflush(stdout);
    Child child = StartServer(argc, argv);
    if (!child.process) {
        std::printf("cannot start the server process\n");
        return 1;
    }
    gzBytes = child.gzBytes;
    const uint16_t port = child.port;
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/";
    const double plainMib = plainBytes / 1048576.0, gzMib = gzBytes / 1048576.0;
    std::printf("objects: %d, %.1f MiB plain, %.1f MiB compressed%s\n", files, plainMib, gzMib,
                hashes ? ", SHA-256 listed" : "");

    // The platform ceiling, then the client layer alone (Http::Get +
    // GzipStream, output discarded), then the whole pass, which also creates,
    // writes and stamps every file.
    Session session{
        WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    const vr::Http http(vr::kClientUserAgent);
    vr::LauncherConfig config;
    config.mirrors = {url};
    config.serverUrl = url;
    config.patchVersion = 29;
    double baseSec = 1e30, clientSec = 1e30, runSec = 1e30, run1Sec = 1e30, growth1 = 0, growthN = 0;
    int baseFailures = 0, clientFailures = 0, done = 0;
    vr::PatchResult result = vr::PatchResult::Finished;
    for (int round = 0; round < rounds; ++round) {
        const auto b0 = Clock::now();
        for (const Object& o : objects) {
            baseFailures += !BaselineFetch(session.h, port, vr::Utf8ToWide("/" + o.name + ".gz"), o.size);
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
                url + vr::Utf8ToWide(o.name + ".gz"), [&gz](const uint8_t* d, uint64_t n) { return gz.Feed(d, n); },
                nullptr, nullptr);
            clientFailures += !(r == vr::HttpStatus::Ok && gz.Finish() && produced == o.size);
        }
        clientSec = std::min(clientSec, Seconds(h0, Clock::now()));

        for (const int c : {1, connections}) {
            vr::test::TempDir game;  // empty every round
            config.connections = c;
            vr::Patcher patcher(config, game.path());
            std::atomic<bool> cancel{false};
            vr::PatchCallbacks callbacks;
            callbacks.filesDone = [&](int d, int) { done = d; };
            WorkingSetWatch watch;
            const auto p0 = Clock::now();
            result = patcher.Run(cancel, callbacks);
            const double sec = Seconds(p0, Clock::now());
            watch.Stop();
            if (c == 1) {
                run1Sec = std::min(run1Sec, sec);
                growth1 = std::max(growth1, watch.Growth());
            } else {
                runSec = std::min(runSec, sec);
                growthN = std::max(growthN, watch.Growth());
            }
            if (result != vr::PatchResult::Finished || done != files) break;
        }
        if (result != vr::PatchResult::Finished || done != files) break;
    }

    std::printf("baseline  WinHTTP + zlib inflate: %.2f s, %.1f MiB/s plain, %.1f MiB/s compressed%s\n", baseSec,
                plainMib / baseSec, gzMib / baseSec, baseFailures ? " (FAILURES)" : "");
    std::printf("Http::Get + GzipStream, no file:  %.2f s, %.1f MiB/s plain, %.1f MiB/s compressed%s\n", clientSec,
                plainMib / clientSec, gzMib / clientSec, clientFailures ? " (FAILURES)" : "");
    std::printf(
        "Patcher::Run, connections=1:      %.2f s, %.1f MiB/s plain, %.1f MiB/s compressed; working set +%.1f MiB\n",
        run1Sec, plainMib / run1Sec, gzMib / run1Sec, growth1);
    std::printf(
        "Patcher::Run, connections=%-2d:     %.2f s, %.1f MiB/s plain, %.1f MiB/s compressed; working set +%.1f MiB\n",
        connections, runSec, plainMib / runSec, gzMib / runSec, growthN);
    std::printf("result %d, %d files\n", static_cast<int>(result), done);
    std::printf("ratio Run / baseline throughput: %.2f (connections=1), %.2f (connections=%d)\n", baseSec / run1Sec,
                baseSec / runSec, connections);
    std::printf("ratio Run / client-only throughput: %.2f (connections=1), %.2f (connections=%d)\n",
                clientSec / run1Sec, clientSec / runSec, connections);
    return result == vr::PatchResult::Finished && done == files && baseFailures == 0 && clientFailures == 0 ? 0 : 1;
}

// One patch pass of the real patcher against a published folder, for the
// delta benchmarks (bench/delta_peers.sh runs it under Wine, through the same
// emulated link as the peers).
//
//   bench_delta_update.exe BASE_URL GAME_DIR [--connections N] [--version V]
//                          [--kill-at FRACTION]
//
// Prints the pass's wall time, the compressed bytes it received, the decoded
// bytes it planned, downloaded and reused, and the patcher's own lines about
// each chunked file (local work breakdown). Exits 0 when the pass finished.
//
// --kill-at F runs the same pass in a child process and ends it with
// TerminateProcess once F of the planned bytes have arrived (a player's
// machine losing power, say); then runs the next pass here, so the second
// figures show what resuming costs.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "patcher/patcher.h"
#include "platform/launcher_config.h"
#include "platform/log.h"
#include "text/text.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
    std::wstring url;
    std::wstring game;
    int connections = 6;
    int version = 2;
    double killAt = -1;
    bool child = false;  // report progress on stdout for the parent
};

bool Parse(int argc, wchar_t** argv, Args& a) {
    if (argc < 3) return false;
    a.url = argv[1];
    a.game = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::wstring k = argv[i];
        if (k == L"--child") {
            a.child = true;
        } else if (i + 1 < argc && k == L"--connections") {
            a.connections = _wtoi(argv[++i]);
        } else if (i + 1 < argc && k == L"--version") {
            a.version = _wtoi(argv[++i]);
        } else if (i + 1 < argc && k == L"--kill-at") {
            a.killAt = _wtof(argv[++i]);
        } else {
            return false;
        }
    }
    return true;
}

int RunPass(const Args& a, const char* label) {
    vr::LauncherConfig c;
    c.serverUrl = a.url;
    c.mirrors = {a.url};
    c.listFile = L"list.txt";
    c.patchVersion = a.version;
    c.connections = a.connections;
    vr::Patcher p(c, a.game);
    int64_t planned = 0, downloaded = 0, reused = 0;
    vr::PatchCallbacks cb;
    cb.transfer = [&](int64_t t, int64_t d, int64_t r) {
        planned = t;
        downloaded = d;
        reused = r;
        if (a.child) {
            std::printf("progress %lld %lld\n", static_cast<long long>(d), static_cast<long long>(t));
            std::fflush(stdout);
        }
    };
    std::atomic<bool> cancel{false};
    const Clock::time_point start = Clock::now();
    const vr::PatchResult r = p.Run(cancel, cb);
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%s: result %d, %.2f s, %.2f MiB received, planned %.2f MiB, downloaded %.2f MiB, reused %.2f MiB\n",
                label, static_cast<int>(r), secs, p.BytesReceived() / 1048576.0, planned / 1048576.0,
                downloaded / 1048576.0, reused / 1048576.0);
    return r == vr::PatchResult::Finished ? 0 : 1;
}

// Starts this program on the same pass as a child and kills it once the
// given share of the planned bytes has arrived.
bool RunAndKill(const Args& a) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" \"" + a.url + L"\" \"" + a.game + L"\" --connections " +
                       std::to_wstring(a.connections) + L" --version " + std::to_wstring(a.version) + L" --child";
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(writeEnd);
    std::string pending;
    char buf[4096];
    DWORD got = 0;
    bool killed = false;
    while (!killed && ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0) {
        pending.append(buf, got);
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            long long done = 0, total = 0;
            if (std::sscanf(pending.c_str(), "progress %lld %lld", &done, &total) == 2 && total > 0 &&
                static_cast<double>(done) >= a.killAt * static_cast<double>(total)) {
                TerminateProcess(pi.hProcess, 9);
                std::printf("killed: at %.2f of %.2f MiB planned\n", done / 1048576.0, total / 1048576.0);
                killed = true;
                break;
            }
        }
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(readEnd);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return killed;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Args a;
    if (!Parse(argc, argv, a)) {
        std::fprintf(stderr,
                     "usage: bench_delta_update.exe BASE_URL GAME_DIR [--connections N] [--version V] "
                     "[--kill-at FRACTION]\n");
        return 2;
    }
    if (a.url.empty() || a.url.back() != L'/') a.url += L'/';
    if (a.child) return RunPass(a, "killed pass");
    // The log goes beside the game folder; its chunk lines are the breakdown.
    const std::wstring logDir = a.game + L"\\..";
    vr::InitLog(logDir);
    if (a.killAt > 0 && !RunAndKill(a)) {
        std::fprintf(stderr, "the first pass ended before it could be killed\n");
        return 1;
    }
    const int code = RunPass(a, a.killAt > 0 ? "resumed pass" : "pass");
    FILE* log = _wfopen((logDir + L"\\Veltrune.log").c_str(), L"rb");
    if (log) {
        char line[2048];
        while (std::fgets(line, sizeof line, log)) {
            if (std::strstr(line, " chunks, ") || std::strstr(line, " updated: ")) std::fputs(line, stdout);
        }
        std::fclose(log);
    }
    return code;
}

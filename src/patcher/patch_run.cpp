#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "net/rate_limiter.h"
#include "patcher/list_trust.h"
#include "patcher/pass_steps.h"
#include "patcher/patch_list.h"
#include "patcher/patcher.h"
#include "platform/log.h"

namespace vr {
namespace {

// One WinHTTP session for the whole pass: the probes, the list and every file
// reuse its kept-alive connections. Closed when the pass ends, however it ends.
class PassSession {
public:
    explicit PassSession(Http& http) : http(http) {
        if (!http.BeginSession()) LogLine("Patcher: could not open an HTTP session; each request opens its own");
    }
    ~PassSession() {
        http.EndSession();
        http.SetRateLimiter(nullptr);
    }
    PassSession(const PassSession&) = delete;
    PassSession& operator=(const PassSession&) = delete;

private:
    Http& http;
};

// With parallel downloads, opens the connections the downloads will use
// while the list is on its way, so their handshakes overlap the list's
// transfer and the scan instead of delaying the first files. Each asks the
// server for the list's headers only.
class ConnectionWarmup {
public:
    ConnectionWarmup(const Http& http, const std::wstring& url, int count) {
        for (int n = 0; n < count; ++n) {
            try {
                threads.emplace_back([&http, url] { static_cast<void>(http.Warm(url)); });
            } catch (const std::system_error&) {
                break;  // the downloads open their own connections then
            }
        }
    }
    ~ConnectionWarmup() { Finish(); }
    // Waits for the warm-up requests. The downloads start after it, so each
    // finds an idle connection instead of opening one more than configured.
    void Finish() {
        for (std::thread& t : threads) t.join();
        threads.clear();
    }
    ConnectionWarmup(const ConnectionWarmup&) = delete;
    ConnectionWarmup& operator=(const ConnectionWarmup&) = delete;

private:
    std::vector<std::thread> threads;
};

void Phase(const PatchCallbacks& callbacks, const char* word) {
    if (callbacks.phase) callbacks.phase(word);
}

}  // namespace

namespace pass {

PatchResult ResultOf(const Patcher& p, HttpStatus status) {
    switch (status) {
        case HttpStatus::Cancelled: return PatchResult::PatchCancelled;
        case HttpStatus::NotFound: return PatchResult::FileMissing;
        // A refused block is either a local write fault or a body the
        // patcher would not take; only the first has a path and an error.
        case HttpStatus::Aborted: return p.WriteError() != 0 ? PatchResult::WriteFailed : PatchResult::NetworkError;
        default: return PatchResult::NetworkError;
    }
}

// The listed time is what makes the file current in later passes; failing to
// set it only means the file is fetched again next time.
void StampFile(const std::wstring& path, int64_t mtime) {
    uint64_t ticks = 0;
    if (!UnixToFileTimeTicks(mtime, ticks)) return;  // keeps the time of the download
    const HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    if (!SetFileTime(h, nullptr, nullptr, &ft)) {
        LogFormat("Patcher: could not stamp %ls (err %lu)", path.c_str(), GetLastError());
    }
    CloseHandle(h);
}

// Creates a folder with its parents. An existing folder is fine, and a
// folder that cannot be made shows up as the file inside it failing to open,
// which the download logs and reports.
void MakeFolder(const std::wstring& folder) {
    static_cast<void>(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr));
}

void MakeParentFolder(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) MakeFolder(path.substr(0, slash));
}

}  // namespace pass

using pass::MakeFolder;
using pass::MakeParentFolder;
using pass::ResultOf;
using pass::StampFile;

// The replacement launcher's path is built here only: the pass keeps it
// (SelfUpdatePath) and the worker hands that same text to the updater.
PatchResult Patcher::DownloadSelfUpdate(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                                        const FileCheck* check) {
    const std::wstring roaming = seams.roamingFolder();
    if (roaming.empty()) return PatchResult::NetworkError;
    const std::wstring folder = roaming + L"\\" + config.appDataFolderName;
    MakeFolder(folder);
    const std::wstring path = folder + L"\\" + config.newLauncher;
    const HttpStatus r = DownloadToFile(config.newLauncher, path, cancel, callbacks, check);
    if (r == HttpStatus::Aborted && contentRefused) {
        LogLine("Patcher: no server had a replacement launcher matching the list; nothing is handed to the updater");
        return PatchResult::FileMismatch;
    }
    if (r != HttpStatus::Ok) return ResultOf(*this, r);
    selfUpdatePath = path;
    return PatchResult::SelfUpdateReady;
}

PatchResult Patcher::DownloadInOrder(const std::vector<PendingFile>& queue, const std::atomic<bool>& cancel,
                                     const PatchCallbacks& callbacks) {
    const int total = static_cast<int>(queue.size());
    int done = 0;
    for (const PendingFile& file : queue) {
        if (cancel.load()) return PatchResult::PatchCancelled;
        const std::wstring fullPath = baseDir + file.relPath;
        MakeParentFolder(fullPath);
        FileCheck check;
        check.size = file.size;
        check.sha256 = file.sha256;
        const HttpStatus r = DownloadToFile(file.relPath, fullPath, cancel, callbacks, &check);
        if (r != HttpStatus::Ok) {
            // The download truncated the target, so no stale or partial
            // copy may stay behind to look current. A file that cannot be
            // deleted was never stamped, so the next pass fetches it again.
            static_cast<void>(DeleteFileW(fullPath.c_str()));
            if (r == HttpStatus::Aborted && contentRefused) return PatchResult::FileMismatch;
            return ResultOf(*this, r);
        }
        StampFile(fullPath, file.mtime);
        ++done;
        if (callbacks.filesDone) callbacks.filesDone(done, total);
    }
    return PatchResult::Finished;
}

void Patcher::SetMaxKiBps(int32_t kiBps) {
    config.maxKiBps = kiBps < 0 ? 0 : kiBps;
    if (cap) cap->SetBytesPerSecond(static_cast<uint64_t>(config.maxKiBps) * 1024);
}

bool Patcher::AcceptList(const std::string& text) {
    if (listKey.empty()) return true;
    const std::string keyId = KeyId(listKey);
    if (serialStore.load) highestSerial = std::max(highestSerial, serialStore.load(keyId));
    const ListSeal seal = ReadListSeal(text);
    std::string why;
    const ListVerdict verdict = JudgeList(seal, text, listKey, highestSerial, seams.unixNow(), why);
    if (verdict != ListVerdict::Trusted) {
        LogFormat("Patcher: refused the patch list from %ls: %s", HostOf(lastUrl).c_str(), why.c_str());
        return false;
    }
    if (seal.hasSerial && seal.serial > highestSerial) {
        highestSerial = seal.serial;
        if (serialStore.save) serialStore.save(keyId, seal.serial);
    }
    return true;
}

PatchResult Patcher::Run(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks, bool verifyContents) {
    runStartTick = GetTickCount64();
    bytesReceived = 0;
    writeError = 0;
    writeFailedPath.clear();
    const PassSession session(http);
    cap = std::make_shared<RateLimiter>(static_cast<uint64_t>(config.maxKiBps) * 1024);
    http.SetRateLimiter(cap);
    Phase(callbacks, "checking");

    SelectFastestServer(cancel, callbacks);
    if (cancel.load()) return PatchResult::PatchCancelled;
    // The list's own connection is the first of them. One connection means
    // today's pass exactly, so nothing is opened ahead.
    const int warm = http.InSession() ? std::max(config.connections, 1) - 1 : 0;
    ConnectionWarmup warmup(http, BuildUrl(config.listFile), warm);

    std::string text;
    const HttpStatus listStatus = DownloadToString(config.listFile, text, cancel, callbacks,
                                                   [this](const std::string& t) { return AcceptList(t); });
    if (listStatus == HttpStatus::Aborted && contentRefused) {
        LogLine("Patcher: no server had a patch list signed with the configured key; nothing was changed");
        return PatchResult::ListUnverified;
    }
    if (listStatus != HttpStatus::Ok) return ResultOf(*this, listStatus);

    const ListSeal seal = ReadListSeal(text);
    ScanOptions options;
    options.hashes = seal.hashesSha256;
    options.verifyContents = verifyContents;
    options.cancel = &cancel;
    if (verifyContents && seal.hashesSha256) {
        Phase(callbacks, "verifying");
        if (callbacks.verifyProgress) {
            options.verifyProgress = [&callbacks](int done, int total, int64_t bytesDone, int64_t bytesTotal) {
                callbacks.verifyProgress(done, total, static_cast<double>(bytesDone) / 1048576.0,
                                         static_cast<double>(bytesTotal) / 1048576.0);
            };
        }
    }
    const ListScan scan = ScanPatchList(text, baseDir, config.patchVersion, options);
    if (scan.cancelled) return PatchResult::PatchCancelled;
    warmup.Finish();
    if (scan.outOfDate) {
        LogFormat("Patcher: launcher out of date (server v%d, local v%d) -> self-update", scan.serverVersion,
                  config.patchVersion);
        Phase(callbacks, "updating");
        FileCheck launcherCheck;
        if (seal.hasLauncher) {
            launcherCheck.size = seal.launcherSize;
            launcherCheck.sha256 = seal.launcherSha256;
        } else if (!listKey.empty()) {
            // A signed list that does not vouch for the launcher cannot make
            // us run one.
            LogLine("Patcher: the signed list names no replacement launcher (#launcher); self-update refused");
            return PatchResult::ListUnverified;
        }
        return DownloadSelfUpdate(cancel, callbacks, seal.hasLauncher ? &launcherCheck : nullptr);
    }

    const int total = static_cast<int>(scan.queue.size());
    if (total > 0) {
        if (callbacks.fileCount) callbacks.fileCount(total);
        Phase(callbacks, "downloading");
        const int connections = std::min(std::max(config.connections, 1), total);
        const PatchResult r = connections == 1 ? DownloadInOrder(scan.queue, cancel, callbacks)
                                               : DownloadInParallel(scan.queue, connections, cancel, callbacks);
        if (r != PatchResult::Finished) return r;
    }
    Phase(callbacks, "finished");
    return PatchResult::Finished;
}

}  // namespace vr

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>

#include "net/rate_limiter.h"
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
PatchResult Patcher::DownloadSelfUpdate(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks) {
    const std::wstring roaming = seams.roamingFolder();
    if (roaming.empty()) return PatchResult::NetworkError;
    const std::wstring folder = roaming + L"\\" + config.appDataFolderName;
    MakeFolder(folder);
    const std::wstring path = folder + L"\\" + config.newLauncher;
    const HttpStatus r = DownloadToFile(config.newLauncher, path, cancel, callbacks);
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
        const HttpStatus r = DownloadToFile(file.relPath, fullPath, cancel, callbacks);
        if (r != HttpStatus::Ok) {
            // The download truncated the target, so no stale or partial
            // copy may stay behind to look current. A file that cannot be
            // deleted was never stamped, so the next pass fetches it again.
            static_cast<void>(DeleteFileW(fullPath.c_str()));
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

PatchResult Patcher::Run(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks) {
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

    std::string text;
    const HttpStatus listStatus = DownloadToString(config.listFile, text, cancel, callbacks);
    if (listStatus != HttpStatus::Ok) return ResultOf(*this, listStatus);

    const ListScan scan = ScanPatchList(text, baseDir, config.patchVersion);
    if (scan.outOfDate) {
        LogFormat("Patcher: launcher out of date (server v%d, local v%d) -> self-update", scan.serverVersion,
                  config.patchVersion);
        Phase(callbacks, "updating");
        return DownloadSelfUpdate(cancel, callbacks);
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

#include <windows.h>
#include <shlobj.h>

#include "patcher/patch_list.h"
#include "patcher/patcher.h"
#include "platform/log.h"

namespace vr {
namespace {

constexpr int64_t kEpochDelta = 11644473600LL;

int ResultOf(HttpStatus status) {
    switch (status) {
        case HttpStatus::Cancelled: return PatchCancelled;
        case HttpStatus::NotFound: return FileMissing;
        default: return NetworkError;
    }
}

void Phase(const PatchCallbacks& callbacks, const char* word) {
    if (callbacks.phase) callbacks.phase(word);
}

// The listed time is what makes the file current in later passes; failing to
// set it only means the file is fetched again next time.
void StampFile(const std::wstring& path, int64_t mtime) {
    const HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    const uint64_t ticks = static_cast<uint64_t>(mtime + kEpochDelta) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
}

}  // namespace

int Patcher::Run(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks) {
    runStartTick = GetTickCount64();
    bytesReceived = 0;
    Phase(callbacks, "checking");

    SelectFastestServer(cancel, callbacks);
    if (cancel.load()) return PatchCancelled;

    std::string text;
    const HttpStatus listStatus = DownloadToString(config.listFile, text, cancel, callbacks);
    if (listStatus != HttpStatus::Ok) return ResultOf(listStatus);

    const ListScan scan = ScanPatchList(text, baseDir, config.patchVersion);
    if (scan.outOfDate) {
        LogFormat("Patcher: launcher out of date (server v%d, local v%d) -> self-update", scan.serverVersion,
                  config.patchVersion);
        Phase(callbacks, "updating");
        const std::wstring roaming = roamingFolder ? roamingFolder() : std::wstring();
        if (roaming.empty()) return NetworkError;
        const std::wstring folder = roaming + L"\\" + config.appDataFolderName;
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        const std::wstring path = folder + L"\\" + config.newLauncher;
        const HttpStatus r = DownloadToFile(config.newLauncher, path, cancel, callbacks);
        if (r == HttpStatus::Ok) {
            selfUpdatePath = path;
            return SelfUpdateReady;
        }
        return ResultOf(r);
    }

    const int total = static_cast<int>(scan.queue.size());
    if (total > 0) {
        if (callbacks.fileCount) callbacks.fileCount(total);
        Phase(callbacks, "downloading");
        int done = 0;
        for (const PendingFile& file : scan.queue) {
            if (cancel.load()) return PatchCancelled;
            const std::wstring fullPath = baseDir + file.relPath;
            const size_t slash = fullPath.rfind(L'\\');
            if (slash != std::wstring::npos) {
                SHCreateDirectoryExW(nullptr, fullPath.substr(0, slash).c_str(), nullptr);
            }
            const HttpStatus r = DownloadToFile(file.relPath, fullPath, cancel, callbacks);
            if (r != HttpStatus::Ok) {
                // The download truncated the target, so no stale or partial
                // copy may stay behind to look current.
                DeleteFileW(fullPath.c_str());
                return ResultOf(r);
            }
            StampFile(fullPath, file.mtime);
            ++done;
            if (callbacks.filesDone) callbacks.filesDone(done, total);
        }
    }
    Phase(callbacks, "finished");
    return Finished;
}

}  // namespace vr

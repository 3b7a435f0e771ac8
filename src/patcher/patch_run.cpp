#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <set>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "net/rate_limiter.h"
#include "patcher/list_trust.h"
#include "patcher/parallel_pass.h"
#include "patcher/staged_file.h"
#include "patcher/pass_steps.h"
#include "patcher/patch_list.h"
#include "patcher/patcher.h"
#include "patcher/chunk_index.h"
#include "platform/handles.h"
#include "platform/log.h"

namespace vr {
namespace {

// A replacement launcher the list does not name is refused past this size.
constexpr int64_t kMaxUnlistedLauncherBytes = 256ll << 20;

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

// Staged copies of files this list no longer asks for would only take disk
// space: in the game folder and every listed folder, any staged name whose
// file is not queued goes. Staged data never makes a file current, so this
// runs after the scan.
void DropStaleStagedCopies(const std::wstring& baseDir, const ListScan& scan) {
    std::set<std::wstring> queued;
    for (const PendingFile& f : scan.queue) queued.insert(StagedFile::StagedPathOf(baseDir + f.relPath));
    std::vector<std::wstring> folders = {std::wstring()};
    folders.insert(folders.end(), scan.folders.begin(), scan.folders.end());
    for (const std::wstring& folder : folders) {
        WIN32_FIND_DATAW found;
        const std::wstring dir = baseDir + folder;
        const FindHandle search(FindFirstFileW((dir + L"*" + kStagedSuffixW).c_str(), &found));
        if (!search) continue;
        do {
            const std::wstring path = dir + found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !StagedFile::IsStagedName(found.cFileName) ||
                queued.count(path)) {
                continue;
            }
            if (DeleteFileW(path.c_str())) LogFormat("Patcher: removed %ls, which the list no longer needs", path.c_str());
        } while (FindNextFileW(search.get(), &found));
    }
}

void Phase(const PatchCallbacks& callbacks, const char* word) {
    if (callbacks.phase) callbacks.phase(word);
}

}  // namespace

namespace pass {

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

PatchResult Patcher::Conclude(const TransferResult& failed) {
    lastUrl = failed.url;
    if (failed.writeError != 0) {
        writeError = failed.writeError;
        writeFailedPath = failed.writePath;
        diskBytesNeeded = failed.neededBytes;
    }
    switch (failed.status) {
        case HttpStatus::Ok: return PatchResult::Finished;
        case HttpStatus::Cancelled: return PatchResult::PatchCancelled;
        case HttpStatus::NotFound: return PatchResult::FileMissing;
        default: break;
    }
    if (failed.refused) return PatchResult::FileMismatch;
    // A refused block is either a local write fault or a body the patcher
    // would not take; only the first has an error.
    return failed.writeError != 0 ? PatchResult::WriteFailed : PatchResult::NetworkError;
}

// The replacement launcher's path is built here only: the pass keeps it
// (SelfUpdatePath) and the worker hands that same text to the updater.
PatchResult Patcher::DownloadSelfUpdate(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                                        const FileCheck* check) {
    const std::wstring roaming = seams.roamingFolder();
    if (roaming.empty()) return PatchResult::NetworkError;
    const std::wstring folder = roaming + L"\\" + config.appDataFolderName;
    MakeFolder(folder);
    const std::wstring path = folder + L"\\" + config.newLauncher;
    TransferResult r;
    DownloadToFile(config.newLauncher, path, cancel, callbacks, check, &r);
    if (r.status != HttpStatus::Ok) {
        if (r.refused) {
            LogLine("Patcher: no server had a replacement launcher matching the list; nothing is handed to the "
                    "updater");
        }
        return Conclude(r);
    }
    selfUpdatePath = path;
    return PatchResult::SelfUpdateReady;
}

void Patcher::SetMaxKiBps(int32_t kiBps) {
    config.maxKiBps = kiBps < 0 ? 0 : kiBps;
    if (cap) cap->SetBytesPerSecond(static_cast<uint64_t>(config.maxKiBps) * 1024);
}

bool Patcher::AcceptList(const std::string& text, const std::wstring& url) {
    if (!ListMatchesProbe(text, url)) return false;
    if (listKey.empty()) return true;
    const std::string keyId = KeyId(listKey);
    if (serialStore.load) highestSerial = std::max(highestSerial, serialStore.load(keyId));
    const ListSeal seal = ReadListSeal(text);
    std::string why;
    const ListFloors floors{highestSerial, config.listMinSerial, config.patchVersion};
    const ListVerdict verdict = JudgeList(seal, text, listKey, floors, seams.unixNow(), why);
    if (verdict != ListVerdict::Trusted) {
        LogFormat("Patcher: refused the patch list from %ls: %s", HostOf(url).c_str(), why.c_str());
        listExpired = listExpired || verdict == ListVerdict::Expired;
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
    diskBytesNeeded = 0;
    lastUrl.clear();
    listExpired = false;
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
    TransferResult listResult;
    DownloadToString(
        config.listFile, text, cancel, callbacks,
        [this](const std::string& t, const std::wstring& url) { return AcceptList(t, url); }, &listResult);
    if (listResult.refused) {
        LogLine("Patcher: no server had a patch list signed with the configured key; nothing was changed");
        // A genuine list the clock calls expired: the player can mend that.
        return listExpired ? PatchResult::ListExpired : PatchResult::ListUnverified;
    }
    if (listResult.status != HttpStatus::Ok) return Conclude(listResult);

    const ListSeal seal = ReadListSeal(text);
    ScanOptions options;
    options.hashes = seal.hashesSha256;
    options.verifyContents = verifyContents;
    options.cancel = &cancel;
    if (verifyContents && seal.hashesSha256) {
        Phase(callbacks, "verifying");
        if (callbacks.verifyProgress) {
            options.verifyProgress = [&callbacks](int done, int total, int64_t bytesDone, int64_t bytesTotal) {
                callbacks.verifyProgress(done, total, static_cast<double>(bytesDone) / kBytesPerMiB,
                                         static_cast<double>(bytesTotal) / kBytesPerMiB);
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
        } else {
            // Unvouched for, it may at least not fill the disk.
            launcherCheck.maxSize = kMaxUnlistedLauncherBytes;
        }
        return DownloadSelfUpdate(cancel, callbacks, &launcherCheck);
    }

    // Folder lines make their folders, empty ones too.
    for (const std::wstring& folder : scan.folders) MakeFolder(baseDir + folder);
    DropStaleStagedCopies(baseDir, scan);
    const int total = static_cast<int>(scan.queue.size());
    if (total > 0) {
        if (callbacks.fileCount) callbacks.fileCount(total);
        Phase(callbacks, "downloading");
        const int connections = std::max(config.connections, 1);
        inParallelPass = connections > 1;
        ParallelPass downloads(*this, scan.queue, seal.chunkIndexes, connections, cancel, callbacks);
        const PatchResult r = downloads.Run();
        inParallelPass = false;
        if (r != PatchResult::Finished) return r;
    }
    Phase(callbacks, "finished");
    return PatchResult::Finished;
}

}  // namespace vr

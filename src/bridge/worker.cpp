#include <windows.h>

#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

#include "bridge/bridge.h"
#include "bridge/page_protocol.h"
#include "game/client_launcher.h"
#include "game/serial_store.h"
#include "patcher/patcher.h"
#include "patcher/staged_file.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr int kWaitSlices = 25;  // with 100 ms slices: one check about every 2.5 s
constexpr uint32_t kWaitSliceMs = 100;

constexpr char kFileMissingText[] = "A required file was not found on the server:\n";
constexpr char kConnectionText[] = "Could not connect to the patch server. Please check your internet connection.";
constexpr char kListUnverifiedText[] =
    "The patch list could not be verified: no patch server offered a list signed by the game's publisher. "
    "Your game files were not changed. Please try again later; if this keeps happening, contact the game's support.";
constexpr char kListExpiredText[] =
    "The patch list has expired by this computer's clock. Please check the date and time of this computer; "
    "if they are right, try again later. Your game files were not changed.";
constexpr char kFileMismatchText[] = "A downloaded file did not match the patch list on any server and was deleted:\n";
constexpr char kTryLaterText[] = "\nPlease try again later.";
constexpr char kWriteText[] = "The launcher could not write to the folder\n";
constexpr char kChangeFolderAdvice[] =
    "Make sure you may change that folder (a game under Program Files needs the launcher to run as "
    "administrator), or move the game to a folder you own, then try again.";

// A local write failure in words the player can act on: the folder, the
// cause and what to do. The log already names the file and the error code.
std::string WriteFailureText(const std::wstring& path, uint32_t error, uint64_t neededBytes) {
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? path : path.substr(0, slash);
    std::string cause;
    std::string advice = kChangeFolderAdvice;
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_NETWORK_ACCESS_DENIED: cause = "access denied"; break;
        case ERROR_WRITE_PROTECT: cause = "the drive is read-only"; break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            cause = "the disk is full";
            if (neededBytes > 0) {
                char needed[64];
                std::snprintf(needed, sizeof needed, "%.1f MiB", static_cast<double>(neededBytes) / kBytesPerMiB);
                cause = "not enough disk space on " + WideToUtf8(VolumeOf(path)) + ": " + needed + " needed";
            }
            advice = "Free some space on that disk, then try again.";
            break;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            cause = "a file there is in use by another program";
            advice = "Close the game and any program using its files, then try again.";
            break;
        default: cause = "system error " + std::to_string(error); break;
    }
    return kWriteText + WideToUtf8(folder) + "\n(" + cause + "). " + advice;
}

// Retry runs the pass again, which downloads the replacement and tries the
// updater once more.
std::string UpdaterFailedText(const std::wstring& updaterExe) {
    return "The launcher update could not be started. Please make sure " + WideToUtf8(updaterExe) +
           " is in the game folder and not blocked by security software, then press Retry.";
}

// What the page says when a pass ends in a failure the player may retry.
std::string FailedPassText(PatchResult result, const Patcher& patcher) {
    switch (result) {
        case PatchResult::FileMissing: return kFileMissingText + WideToUtf8(patcher.LastUrl());
        case PatchResult::ListUnverified: return kListUnverifiedText;
        case PatchResult::ListExpired: return kListExpiredText;
        case PatchResult::FileMismatch: return kFileMismatchText + WideToUtf8(patcher.LastUrl()) + kTryLaterText;
        case PatchResult::WriteFailed:
            return WriteFailureText(patcher.WriteFailedPath(), patcher.WriteError(), patcher.DiskBytesNeeded());
        default: return kConnectionText;
    }
}

// The highest list serial seen per key lives with the player's preferences
// and, beyond the game folder's reach, in the local application data.
Patcher::SerialStore PreferencesSerialStore(const std::wstring& prefsDir, const std::wstring& localFolder) {
    return {[prefsDir, localFolder](const std::string& keyId) { return LoadKeptSerial(prefsDir, localFolder, keyId); },
            [prefsDir, localFolder](const std::string& keyId, int64_t serial) {
                SaveKeptSerial(prefsDir, localFolder, keyId, serial);
            }};
}

}  // namespace

void Bridge::StartWorker() {
    {
        const std::lock_guard<std::mutex> lock(startLock);
        // `running` is raised here, before the thread exists, so a worker
        // that has been created but has not reached its first step already
        // counts as running; only the UI thread ever raises it.
        if (running.load()) {
            // A pass that is running or about to run answers this request
            // itself; a body that is ending takes its passes up again.
            if (cancel.load() || ending) restartRequested = true;
            return;
        }
        running.exchange(true);
    }
    // Any thread still held has cleared `running`: its body has ended and the
    // join waits for its last clean-up only.
    if (worker.joinable()) worker.join();
    cancel.exchange(false);
    try {
        auto body = [this] { WorkerMain(); };
        worker = seams.startThread(body);
    } catch (const std::system_error& e) {
        // No body will clear the flag, so do it here: the next start request
        // may try again.
        LogFormat("Bridge: could not start the worker thread (%s)", e.what());
        running.exchange(false);
    }
}

void Bridge::CancelPasses() {
    const std::lock_guard<std::mutex> lock(startLock);
    restartRequested = false;
    cancel.exchange(true);
}

void Bridge::VerifyGameFiles() {
    verifyRequested.exchange(true);
    StartWorker();  // a running body picks the request up between passes
}

void Bridge::EndWithError(const std::string& message) {
    {
        const std::lock_guard<std::mutex> lock(startLock);
        ending = true;
    }
    WithdrawPlay();
    Post(ErrorEvent(message));
}

void Bridge::WaitBeforeNextCheck() {
    for (int i = 0; i < kWaitSlices; ++i) {
        if (cancel.load() || verifyRequested.load()) return;
        seams.pause(kWaitSliceMs);
    }
}

void Bridge::WorkerMain() {
    for (;;) {
        RunPasses();
        // The patcher and the callbacks are gone before `running` drops, so
        // a join after that never waits for more than the thread's exit.
        const std::lock_guard<std::mutex> lock(startLock);
        ending = false;
        if (!restartRequested) {
            running.exchange(false);
            return;
        }
        restartRequested = false;
        cancel.exchange(false);
        LogLine("Bridge: starting again, as asked while the last pass ended");
    }
}

void Bridge::RunPasses() {
    Patcher patcher(config, exeDir, seams.patcher);
    patcher.SetSerialStore(PreferencesSerialStore(exeDir, LocalSerialFolder(config.appDataFolderName)));
    ProgressCounters counters;
    PatchCallbacks callbacks;
    callbacks.phase = [this](const std::string& phase) { Post(PhaseEvent(phase)); };
    callbacks.status = [this](const std::string& text) { Post(StatusEvent(text)); };
    callbacks.fileCount = [this, &counters](int count) {
        counters = ProgressCounters{};  // a new pass's downloads begin
        counters.fileCount = count;
        Post(FileCountEvent(count));
    };
    callbacks.transfer = [&counters](int64_t toDownload, int64_t downloaded, int64_t reused) {
        counters.downloadMb = static_cast<double>(toDownload) / kBytesPerMiB;
        counters.downloadedMb = static_cast<double>(downloaded) / kBytesPerMiB;
        counters.reusedMb = static_cast<double>(reused) / kBytesPerMiB;
    };
    callbacks.filesDone = [this, &counters](int done, int total) {
        counters.fileIndex = done;
        counters.fileCount = total;
        Post(FilesDoneEvent(counters));
    };
    callbacks.fileProgress = [this, &counters, &patcher](int percent, double speed, double doneMb,
                                                         const std::wstring& file) {
        // A cap the player changed mid-pass applies from here on.
        patcher.SetMaxKiBps(maxKiBps.load());
        Post(FileProgressEvent(counters, percent, speed, doneMb, file));
    };
    callbacks.verifyProgress = [this](int done, int total, double doneMb, double totalMb) {
        Post(VerifyEvent(done, total, doneMb, totalMb));
    };
    bool patched = false;

    while (!cancel.load()) {
        const bool active = IsMaintenanceActive(config);
        maintenanceActive.exchange(active);
        Post(MaintenanceEvent(active));
        // Files about to be hashed and maybe replaced by a repair are no
        // more playable than those of a server under maintenance.
        if (active || (patched && verifyRequested.load())) {
            WithdrawPlay();
            patched = false;
        }
        if (!active && !patched) {
            const bool verify = verifyRequested.exchange(false);
            if (verify) LogLine("Bridge: verifying the game files");
            patcher.SetMaxKiBps(maxKiBps.load());
            const PatchResult result = patcher.Run(cancel, callbacks, verify);
            if (result == PatchResult::PatchCancelled) return;  // the page shows the stop itself
            if (result == PatchResult::SelfUpdateReady) {
                if (MakeLauncher().StartUpdater(patcher.SelfUpdatePath())) {
                    // The patch run announced "updating" before the
                    // download; the second one tells the page the
                    // hand-over is now.
                    Post(PhaseEvent("updating"));
                    host->Close();
                    return;
                }
                // Closing now would close the launcher on every start
                // without a word; the player must learn what to fix.
                LogLine("Bridge: the launcher update was not handed over (the updater did not start); staying open");
                EndWithError(UpdaterFailedText(config.updaterExe));
                return;
            }
            if (result != PatchResult::Finished) {
                EndWithError(FailedPassText(result, patcher));
                return;  // no more polling; the page may ask for a retry
            }
            patched = true;
            canPlay.exchange(true);
            Post(ReadyEvent(true));
        }
        WaitBeforeNextCheck();
    }
}

}  // namespace vr

#include <windows.h>

#include <string>
#include <system_error>
#include <utility>

#include "bridge/bridge.h"
#include "game/client_launcher.h"
#include "patcher/patcher.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr int kWaitSlices = 25;  // with 100 ms slices: one check about every 2.5 s

constexpr char kFileMissingText[] = "A required file was not found on the server:\n";
constexpr char kConnectionText[] = "Could not connect to the patch server. Please check your internet connection.";

}  // namespace

void Bridge::StartWorker() {
    // `running` is raised here, before the thread exists, so a worker that has
    // been created but has not reached its first step already counts as
    // running; only the UI thread ever raises it, so the exchange is the test.
    if (running.exchange(true)) return;
    // Any thread still held has cleared `running`: its body has ended and the
    // join waits for its last clean-up only.
    if (worker.joinable()) worker.join();
    cancel.exchange(false);
    try {
        auto body = [this] { WorkerMain(); };
        worker = seams.startThread ? seams.startThread(body) : std::thread(body);
    } catch (const std::system_error& e) {
        // No body will clear the flag, so do it here: the next start request
        // may try again.
        LogFormat("Bridge: could not start the worker thread (%s)", e.what());
        running.exchange(false);
    }
}

void Bridge::WaitBeforeNextCheck() {
    for (int i = 0; i < kWaitSlices; ++i) {
        if (cancel.load()) return;
        Sleep(seams.maintenanceSliceMs);
    }
}

void Bridge::WorkerMain() {
    running.exchange(true);
    {
        Patcher patcher(config, exeDir);
        if (seams.preparePatcher) seams.preparePatcher(patcher);
        ProgressCounters counters;
        PatchCallbacks callbacks;
        callbacks.phase = [this](const std::string& phase) { SendPhase(phase, ""); };
        callbacks.status = [this](const std::string& text) { SendStatus(text); };
        callbacks.fileCount = [this, &counters](int count) { SendFileCount(counters, count); };
        callbacks.filesDone = [this, &counters](int done, int total) { SendFilesDone(counters, done, total); };
        callbacks.fileProgress = [this, &counters](int percent, double speed, double doneMb, const std::wstring& file) {
            SendFileProgress(counters, percent, speed, doneMb, file);
        };
        bool patched = false;

        while (!cancel.load()) {
            const bool active = IsMaintenanceActive(config);
            SendMaintenance(active);
            if (active) {
                canPlay.exchange(false);
                SendReady(false);
                patched = false;
            } else if (!patched) {
                const int result = patcher.Run(cancel, callbacks);
                if (result == PatchCancelled) break;  // the page shows the stop itself
                if (result == SelfUpdateReady) {
                    // The patch run announced "updating" before the download;
                    // the second one tells the page the hand-over is now.
                    SendPhase("updating", "");
                    MakeLauncher().StartUpdater();
                    host->Close();
                    break;
                }
                if (result != Finished) {
                    canPlay.exchange(false);
                    SendReady(false);
                    SendError(result == FileMissing ? kFileMissingText + WideToUtf8(patcher.lastUrl) : kConnectionText);
                    break;  // no more polling; the page may ask for a retry
                }
                patched = true;
                canPlay.exchange(true);
                SendReady(true);
            }
            WaitBeforeNextCheck();
        }
        // The patcher and the callbacks go before `running` drops, so a join
        // after that never waits for more than the thread's exit.
    }
    running.exchange(false);
}

}  // namespace vr

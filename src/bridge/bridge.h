#pragma once
// The native end of the page channel: decodes page commands, builds and posts
// events, runs the patch worker and starts the short-lived job threads.
// One object for the whole run; owned and called by the UI thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/launcher_config.h"
#include "game/client_launcher.h"
#include "game/resolutions.h"
#include "host/host_actions.h"
#include "patcher/patcher.h"
#include "text/json.h"

namespace vr {

class HostLink;

// The worker's two file counters: the values of the last "filecount" and
// per-file "progress" events. Touched by the worker thread only.
struct ProgressCounters {
    int32_t fileCount = 0;
    int32_t fileIndex = 0;
    // MiB of the pass: to cross the wire, crossed so far, taken from the
    // player's own copies instead.
    double downloadMb = 0;
    double downloadedMb = 0;
    double reusedMb = 0;
};

class Bridge {
public:
    // What a test may replace; every member starts as the shipped behaviour.
    struct Seams {
        Seams();
        // Discord's public guild API; the guild id and "/widget.json" follow.
        std::wstring discordApiBase;
        // One slice of the pause between maintenance checks (25 slices of
        // 100 ms, the cancel flag tested before each): Sleep.
        std::function<void(uint32_t milliseconds)> pause;
        // Handed to every Patcher and ClientLauncher the bridge builds.
        Patcher::Seams patcher;
        ClientLauncher::Seams launcher;
        // Display modes for "options": the current display's.
        DisplayModeSource displayModes;
        // Background names for "init", given the asset folder: the folder's
        // usable pairs (ListBackgrounds).
        std::function<std::vector<std::string>(const std::wstring& folder)> listBackgrounds;
        // Creates every thread the bridge starts: std::thread. May throw
        // std::system_error like the std::thread constructor.
        std::function<std::thread(std::function<void()>)> startThread;
    };

    Bridge(LauncherConfig config, std::wstring exeDir, IHostActions* host, Seams seams = {});
    // Stops the worker, then cuts the job threads off from the host: none of
    // them calls it after this returns.
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // One page message (the JSON text of the posted object); UI thread only.
    void OnWebMessage(const std::wstring& message);

    // Commands that do more than one call.
    void StartWorker();
    // "Verify game files": the next pass (at once when no worker runs, else
    // as soon as the running body is between passes) is a repair.
    void VerifyGameFiles();
    void PlayGame(int32_t clients);
    void OpenLink(const std::string& target);

    // Shutdown, on the UI thread after the message loop: raises the cancel
    // flag, then waits without limit for a worker thread still held. A pass
    // in progress stops at its next check of the flag.
    void StopWorker();

    // A worker body is executing (or has been created and not yet ended).
    bool IsRunning() const { return running.load(); }
    // The last pass succeeded and no maintenance has been seen since.
    bool CanPlay() const { return canPlay.load(); }

    // Events: each builds its object and posts it to the page.
    void SendInit();
    void SendOptions();
    void SendPhase(const std::string& phase, const std::string& text);
    void SendStatus(const std::string& text);
    void SendFileCount(ProgressCounters& counters, int32_t count);
    void SendFilesDone(ProgressCounters& counters, int32_t done, int32_t total);
    void SendFileProgress(const ProgressCounters& counters, int32_t percent, double speed, double doneMb,
                          const std::wstring& file);
    // "verify": progress of a repair's hashing, files and MiB.
    void SendVerifyProgress(int32_t done, int32_t total, double doneMb, double totalMb);
    void SendMaintenance(bool active);
    void SendReady(bool playable);
    void SendError(const std::string& message);
    // "launch": a Play has begun starting clients; its end is posted by the
    // launch thread (PostLaunchEnded).
    void SendLaunchStarted();

private:

    // What a page loaded again (a reload) has missed: the last maintenance
    // result and the play flag while a body runs, and a launch under way.
    void SendCurrentState();
    static void PostLaunchEnded(IHostActions& to, int32_t started);
    void WorkerMain();
    void WaitBeforeNextCheck();
    void PostEvent(const JsonWriter& writer);
    ClientLauncher MakeLauncher() const;
    // Starts a detached job thread; false (logged) when none could be made.
    bool StartJob(std::function<void()> body, const char* what);

    const LauncherConfig config;
    const std::wstring exeDir;  // without a trailing backslash
    IHostActions* const host;   // not owned; outlives the bridge
    std::thread worker;
    std::atomic<bool> cancel{false};
    std::atomic<bool> running{false};
    std::atomic<bool> canPlay{false};
    // The page asked for a repair that no pass has started yet.
    std::atomic<bool> verifyRequested{false};
    const Seams seams;
    // What the job threads hold instead of the raw host pointer.
    std::shared_ptr<HostLink> jobHost;
    // True while a Play's clients are being started; shared with the launch
    // thread, which may outlive the bridge.
    std::shared_ptr<std::atomic<bool>> launching;
    // The worker's last maintenance result; written by the worker only.
    std::atomic<bool> maintenanceActive{false};
    // The player's bandwidth cap (KiB/s, 0 = none): starts as stored in the
    // preferences (else Veltrune.ini's), changed by the page, taken up by the
    // running pass at its next report.
    std::atomic<int32_t> maxKiBps{0};
};

}  // namespace vr

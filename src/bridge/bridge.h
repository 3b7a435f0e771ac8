#pragma once
// The native end of the page channel: decodes page commands, builds and posts
// events, runs the patch worker and starts the short-lived job threads.
// One object for the whole run; owned and called by the UI thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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

    // Shutdown, on the UI thread after the message loop: raises the cancel
    // flag, then waits without limit for a worker thread still held. A pass
    // in progress stops at its next check of the flag.
    void StopWorker();

    // A worker body is executing (or has been created and not yet ended).
    bool IsRunning() const { return running.load(); }
    // The last pass succeeded and no maintenance has been seen since.
    bool CanPlay() const { return canPlay.load(); }

private:
    // A page command's handler, given the command's members.
    using Command = void (*)(Bridge&, const JsonFields& args);
    // Every command the page may send, by its exact name (commands.cpp).
    static const std::map<std::string, Command, std::less<>>& Commands();

    void OnUiReady();
    // A start request: starts a body when none runs; a body that is ending
    // (cancelled, or past its last pass) starts its passes again instead of
    // ending, so the request is never lost. A body still running its passes
    // needs nothing.
    void StartWorker();
    // "Verify game files": the next pass (at once when no worker runs, else
    // as soon as the running body is between passes) is a repair.
    void VerifyGameFiles();
    // Stops the running pass and forgets a start asked for meanwhile: the
    // player's last word is the stop.
    void CancelPasses();
    void PlayGame(int32_t clients);
    void OpenLink(const std::string& target);
    void SaveOptions(const JsonFields& args);
    void SetMaxKiBps(const JsonFields& args);

    void SendInit();
    void SendOptions();
    // What a page loaded again (a reload) has missed: the last maintenance
    // result and the play flag while a body runs, and a launch under way.
    void SendCurrentState();
    // One event, as its UTF-8 JSON text.
    void Post(const std::string& event);
    void WithdrawPlay();

    void WorkerMain();
    // The passes and the maintenance checks between them, until a pass fails
    // or is cancelled; the patcher lives and dies in here.
    void RunPasses();
    // The body will run no further pass: marked before the page hears of the
    // error, so a start request (a Retry at the error) from here on is kept;
    // Play is withdrawn and the error posted.
    void EndWithError(const std::string& message);
    void WaitBeforeNextCheck();
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
    // Orders the UI thread's start and cancel requests against the body's
    // decision to end, so a request made while it ends is seen by it.
    std::mutex startLock;
    bool ending = false;            // guarded by startLock
    bool restartRequested = false;  // guarded by startLock
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

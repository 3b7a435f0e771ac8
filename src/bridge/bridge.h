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

#include "game/resolutions.h"
#include "host/host_actions.h"
#include "platform/launcher_config.h"
#include "text/json.h"

namespace vr {

class ClientLauncher;
class HostLink;
class Patcher;

// The worker's two file counters: the values of the last "filecount" and
// per-file "progress" events. Touched by the worker thread only.
struct ProgressCounters {
    int32_t fileCount = 0;
    int32_t fileIndex = 0;
};

// Seams for tests; a default-constructed record is the shipped behaviour.
struct BridgeSeams {
    // Discord's public guild API; the guild id and "/widget.json" follow.
    std::wstring discordApiBase;
    // The pause between maintenance checks is 25 of these slices, with the
    // cancel flag tested before each one.
    uint32_t maintenanceSliceMs = 100;
    // Adjusts every Patcher and ClientLauncher the bridge builds (no real
    // browser, no roaming folder outside the test's, no real pauses).
    std::function<void(Patcher&)> preparePatcher;
    std::function<void(ClientLauncher&)> prepareLauncher;
    // Display modes for "options"; empty: the current display's.
    DisplayModeSource displayModes;
    // Background names for "init", given the asset folder; empty: the
    // folder's usable pairs. (Names the file system cannot hold, such as ones
    // with quotes, still have to travel as valid JSON.)
    std::function<std::vector<std::string>(const std::wstring& folder)> listBackgrounds;
    // Creates every thread the bridge starts; empty: std::thread. May throw
    // std::system_error like the std::thread constructor.
    std::function<std::thread(std::function<void()>)> startThread;

    BridgeSeams();
};

class Bridge {
public:
    Bridge(LauncherConfig config, std::wstring exeDir, IHostActions* host, BridgeSeams seams = {});
    // Cancels and joins a worker still held, then cuts the job threads off
    // from the host: none of them calls it after this returns.
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // One page message (the JSON text of the posted object); UI thread only.
    void OnWebMessage(const std::wstring& message);

    // Commands that do more than one call.
    void StartWorker();
    void PlayGame(int32_t clients);
    void OpenLink(const std::string& target);

    // Events: each builds its object and posts it to the page.
    void SendInit();
    void SendOptions();
    void SendPhase(const std::string& phase, const std::string& text);
    void SendStatus(const std::string& text);
    void SendFileCount(ProgressCounters& counters, int32_t count);
    void SendFilesDone(ProgressCounters& counters, int32_t done, int32_t total);
    void SendFileProgress(const ProgressCounters& counters, int32_t percent, double speed, double doneMb,
                          const std::wstring& file);
    void SendMaintenance(bool active);
    void SendReady(bool playable);
    void SendError(const std::string& message);

    const LauncherConfig config;
    const std::wstring exeDir;  // without a trailing backslash
    IHostActions* const host;   // not owned; outlives the bridge
    std::thread worker;
    std::atomic<bool> cancel{false};
    std::atomic<bool> running{false};
    std::atomic<bool> canPlay{false};

private:
    void WorkerMain();
    void WaitBeforeNextCheck();
    void PostEvent(const JsonWriter& writer);
    ClientLauncher MakeLauncher() const;
    // Starts a detached job thread; false (logged) when none could be made.
    bool StartJob(std::function<void()> body, const char* what);

    BridgeSeams seams;
    // What the job threads hold instead of the raw host pointer.
    std::shared_ptr<HostLink> jobHost;
};

}  // namespace vr

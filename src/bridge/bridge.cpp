#include "bridge/bridge.h"

#include <windows.h>

#include <system_error>
#include <utility>

#include "bridge/discord.h"
#include "bridge/host_link.h"
#include "game/backgrounds.h"
#include "game/preferences.h"
#include "platform/log.h"

namespace vr {
namespace {

void SleepFor(uint32_t milliseconds) { Sleep(milliseconds); }

std::thread StartStdThread(std::function<void()> body) { return std::thread(std::move(body)); }

// The cap is the player's and lives in the preferences. Older launchers kept
// it in Veltrune.ini, which a pass may replace: while the preferences hold
// none, that value is the starting one, and a set cap is copied across once
// so a later Veltrune.ini cannot take it away.
int32_t StartingMaxKiBps(const std::wstring& exeDir, int32_t fromVeltruneIni) {
    const int32_t stored = LoadMaxKiBps(exeDir);
    if (stored >= 0) return stored;
    if (fromVeltruneIni > 0) {
        if (SaveMaxKiBps(exeDir, fromVeltruneIni)) {
            LogFormat("Bridge: bandwidth cap of %d KiB/s taken over from Veltrune.ini", fromVeltruneIni);
        } else {
            LogFormat("Bridge: bandwidth cap of %d KiB/s from Veltrune.ini not kept in PatcherSettings.ini (err %lu)",
                      fromVeltruneIni, GetLastError());
        }
    }
    return fromVeltruneIni;
}

}  // namespace

Bridge::Seams::Seams()
    : discordApiBase(kDiscordApiBase),
      pause(SleepFor),
      displayModes(CurrentDisplayMode),
      listBackgrounds(ListBackgrounds),
      startThread(StartStdThread) {}

Bridge::Bridge(LauncherConfig config, std::wstring exeDir, IHostActions* host, Seams seams)
    : config(std::move(config)),
      exeDir(std::move(exeDir)),
      host(host),
      seams(std::move(seams)),
      jobHost(std::make_shared<HostLink>(host)),
      launching(std::make_shared<std::atomic<bool>>(false)),
      maxKiBps(StartingMaxKiBps(this->exeDir, this->config.maxKiBps)) {}

Bridge::~Bridge() {
    // Start-up normally did this already; repeating it keeps a bridge that is
    // destroyed some other way from ending the process in std::thread's
    // destructor.
    StopWorker();
    jobHost->Detach();
}

void Bridge::StopWorker() {
    CancelPasses();
    // The UI thread never runs a worker body, so this join cannot be a self-join.
    if (worker.joinable()) worker.join();
}

ClientLauncher Bridge::MakeLauncher() const { return ClientLauncher(config, exeDir, seams.launcher); }

bool Bridge::StartJob(std::function<void()> body, const char* what) {
    try {
        std::thread thread = seams.startThread(std::move(body));
        thread.detach();
        return true;
    } catch (const std::system_error& e) {
        // The job (and its copies) went with the callable; nothing else changed.
        LogFormat("Bridge: could not start the %s thread (%s)", what, e.what());
        return false;
    }
}

}  // namespace vr

#include "bridge/bridge.h"

#include <windows.h>

#include <system_error>
#include <utility>

#include "bridge/discord.h"
#include "bridge/host_link.h"
#include "game/backgrounds.h"
#include "platform/log.h"

namespace vr {
namespace {

void SleepFor(uint32_t milliseconds) { Sleep(milliseconds); }

std::thread StartStdThread(std::function<void()> body) { return std::thread(std::move(body)); }

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
      launching(std::make_shared<std::atomic<bool>>(false)) {}

Bridge::~Bridge() {
    // Start-up normally did this already; repeating it keeps a bridge that is
    // destroyed some other way from ending the process in std::thread's
    // destructor.
    StopWorker();
    jobHost->Detach();
}

void Bridge::StopWorker() {
    cancel.exchange(true);
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

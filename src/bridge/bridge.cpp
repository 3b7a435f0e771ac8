#include "bridge/bridge.h"

#include <system_error>
#include <utility>

#include "bridge/discord.h"
#include "bridge/host_link.h"
#include "game/client_launcher.h"
#include "platform/log.h"

namespace vr {

BridgeSeams::BridgeSeams() : discordApiBase(kDiscordApiBase) {}

Bridge::Bridge(LauncherConfig config, std::wstring exeDir, IHostActions* host, BridgeSeams seams)
    : config(std::move(config)),
      exeDir(std::move(exeDir)),
      host(host),
      seams(std::move(seams)),
      jobHost(std::make_shared<HostLink>(host)) {}

Bridge::~Bridge() {
    // Start-up normally did this already; repeating it keeps a bridge that is
    // destroyed some other way from ending the process in std::thread's
    // destructor.
    cancel.exchange(true);
    if (worker.joinable()) worker.join();
    jobHost->Detach();
}

ClientLauncher Bridge::MakeLauncher() const {
    ClientLauncher launcher(config, exeDir);
    if (seams.prepareLauncher) seams.prepareLauncher(launcher);
    return launcher;
}

bool Bridge::StartJob(std::function<void()> body, const char* what) {
    try {
        std::thread thread = seams.startThread ? seams.startThread(std::move(body)) : std::thread(std::move(body));
        thread.detach();
        return true;
    } catch (const std::system_error& e) {
        // The job (and its copies) went with the callable; nothing else changed.
        LogFormat("Bridge: could not start the %s thread (%s)", what, e.what());
        return false;
    }
}

}  // namespace vr

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "bridge/bridge.h"
#include "bridge/discord.h"
#include "bridge/host_link.h"
#include "bridge/page_protocol.h"
#include "game/game_options.h"
#include "game/preferences.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

// What the Play thread needs; it owns its copies and shares only the host.
struct GameLaunchJob {
    LauncherConfig config;
    std::wstring exeDir;
    std::shared_ptr<IHostActions> host;
    int32_t clientCount = 1;
    ClientLauncher::Seams launcherSeams;
    std::shared_ptr<std::atomic<bool>> launching;
};

int RunGameLaunch(GameLaunchJob& job) {
    ClientLauncher launcher(job.config, job.exeDir, job.launcherSeams);
    return launcher.LaunchClients(job.clientCount);
}

// Integer arguments keep the low 32 bits of what the page sent.
int32_t IntArg(const JsonFields& fields, const char* name, int32_t fallback) {
    return static_cast<int32_t>(JsonGetInt(fields, name, fallback));
}

void PostLaunchEnded(IHostActions& to, int32_t started) { to.PostToPage(Utf8ToWide(LaunchEndedEvent(started))); }

}  // namespace

const std::map<std::string, Bridge::Command, std::less<>>& Bridge::Commands() {
    using Args = const JsonFields&;
    static const std::map<std::string, Command, std::less<>> commands = {
        {"ui.ready", [](Bridge& b, Args) { b.OnUiReady(); }},
        {"window.minimize", [](Bridge& b, Args) { b.host->Minimize(); }},
        {"window.close", [](Bridge& b, Args) { b.host->Close(); }},
        {"window.drag", [](Bridge& b, Args) { b.host->BeginDrag(); }},
        {"news.rect",
         [](Bridge& b, Args a) {
             b.host->SetNewsRect(IntArg(a, "x", 0), IntArg(a, "y", 0), IntArg(a, "w", 0), IntArg(a, "h", 0),
                                 JsonGetBool(a, "visible", true));
         }},
        {"news.navigate",
         [](Bridge& b, Args a) {
             const std::string target = JsonGetString(a, "target", "");
             if (target == "news") b.host->NavigateNews(b.config.newsUrl);
             if (target == "ranking") b.host->NavigateNews(b.config.rankingUrl);
         }},
        {"patch.cancel", [](Bridge& b, Args) { b.CancelPasses(); }},
        {"patch.start", [](Bridge& b, Args) { b.StartWorker(); }},
        {"patch.retry", [](Bridge& b, Args) { b.StartWorker(); }},
        {"patch.verify", [](Bridge& b, Args) { b.VerifyGameFiles(); }},
        {"game.play", [](Bridge& b, Args a) { b.PlayGame(IntArg(a, "clients", 1)); }},
        {"openurl", [](Bridge& b, Args a) { b.OpenLink(JsonGetString(a, "target", "")); }},
        {"options.load", [](Bridge& b, Args) { b.SendOptions(); }},
        {"options.save", [](Bridge& b, Args a) { b.SaveOptions(a); }},
        // Stored as sent: the page may keep 0 and read it back as 0.
        {"settings.setClientCount", [](Bridge& b, Args a) { SaveClientCount(b.exeDir, IntArg(a, "count", 1)); }},
        {"settings.setAnimatedBg",
         [](Bridge& b, Args a) { SaveAnimatedBackground(b.exeDir, JsonGetBool(a, "enabled", true)); }},
        {"settings.setMaxKiBps", [](Bridge& b, Args a) { b.SetMaxKiBps(a); }},
    };
    return commands;
}

void Bridge::OnWebMessage(const std::wstring& message) {
    // A posted string (not an object) parses to no members and so to no
    // command: the page must post the object itself.
    const JsonFields fields = ParseJsonObject(WideToUtf8(message));
    const auto& commands = Commands();
    const auto command = commands.find(JsonGetString(fields, "cmd", ""));
    if (command != commands.end()) command->second(*this, fields);
}

void Bridge::OnUiReady() {
    SendInit();
    // A body whose pass has finished reports nothing new until something
    // changes, so a reloaded page would otherwise wait for ever.
    SendCurrentState();
    if (!config.guildId.empty()) {
        auto job = std::make_shared<DiscordFetchJob>();
        job->guildId = config.guildId;
        job->host = jobHost;
        job->apiBase = seams.discordApiBase;
        // Not looked at: a fetch that cannot start is logged, and the
        // page then simply gets no "discord" event.
        static_cast<void>(StartJob([job] { FetchDiscordWidget(std::move(*job)); }, "Discord fetch"));
    }
    StartWorker();
}

void Bridge::SaveOptions(const JsonFields& args) {
    // What the page leaves out takes the game's own default.
    GameOptions options;
    options.detail = IntArg(args, "detail", options.detail);
    options.distant = IntArg(args, "distant", options.distant);
    options.view = IntArg(args, "view", options.view);
    options.shadow = IntArg(args, "shadow", options.shadow);
    options.fullscreen = JsonGetBool(args, "fullscreen", options.fullscreen);
    options.resW = IntArg(args, "resW", options.resW);
    options.resH = IntArg(args, "resH", options.resH);
    // Not looked at: commands get no replies, and a failed save has logged why.
    static_cast<void>(SaveGameOptions(GameSettingsPath(config, exeDir), options, config.useNewConfigFormat));
}

void Bridge::SetMaxKiBps(const JsonFields& args) {
    // Negative means no cap, like 0; kept in the preferences for later
    // starts, never in Veltrune.ini, which a pass may replace.
    const int32_t cap = std::max(IntArg(args, "maxKiBps", 0), 0);
    maxKiBps.exchange(cap);
    if (SaveMaxKiBps(exeDir, cap)) {
        LogFormat("Bridge: bandwidth cap set to %d KiB/s (0 = none)", cap);
    } else {
        LogFormat("Bridge: bandwidth cap set to %d KiB/s for this session; PatcherSettings.ini not written (err %lu)",
                  cap, GetLastError());
    }
}

void Bridge::PlayGame(int32_t clients) {
    if (!canPlay.load()) return;
    // Starting n clients takes up to n x 8.5 s; a second press meanwhile
    // would start a second batch.
    if (launching->exchange(true)) {
        LogLine("Bridge: Play ignored: the clients of the last Play are still starting");
        return;
    }
    const int32_t count = clients < 1 ? 1 : clients;
    SaveClientCount(exeDir, count);

    auto job = std::make_shared<GameLaunchJob>();
    job->config = config;
    job->exeDir = exeDir;
    job->host = jobHost;
    job->clientCount = count;
    job->launcherSeams = seams.launcher;
    job->launching = launching;
    // Posted before the thread exists, so the end can never overtake it.
    Post(LaunchStartedEvent());
    const bool started = StartJob(
        [job] {
            const int launched = RunGameLaunch(*job);
            job->launching->exchange(false);
            PostLaunchEnded(*job->host, launched);
            // The launcher's work ends with Play, whether or not a client
            // started; the log says why when none did.
            job->host->Close();
        },
        "game launch");
    if (!started) {
        launching->exchange(false);
        PostLaunchEnded(*host, 0);
    }
}

void Bridge::OpenLink(const std::string& target) {
    for (const WebLink& link : kWebLinks) {
        const std::wstring& address = config.*link.address;
        if (target == link.key && !address.empty()) MakeLauncher().OpenWebLink(address);
    }
}

}  // namespace vr

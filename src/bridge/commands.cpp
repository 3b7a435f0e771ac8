#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "bridge/bridge.h"
#include "bridge/discord.h"
#include "bridge/host_link.h"
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

}  // namespace

void Bridge::OnWebMessage(const std::wstring& message) {
    // A posted string (not an object) parses to no members and so to no
    // command: the page must post the object itself.
    const JsonFields fields = ParseJsonObject(WideToUtf8(message));
    const std::string cmd = JsonGetString(fields, "cmd", "");

    if (cmd == "ui.ready") {
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
    } else if (cmd == "window.minimize") {
        host->Minimize();
    } else if (cmd == "window.close") {
        host->Close();
    } else if (cmd == "window.drag") {
        host->BeginDrag();
    } else if (cmd == "news.rect") {
        host->SetNewsRect(IntArg(fields, "x", 0), IntArg(fields, "y", 0), IntArg(fields, "w", 0),
                          IntArg(fields, "h", 0), JsonGetBool(fields, "visible", true));
    } else if (cmd == "news.navigate") {
        const std::string target = JsonGetString(fields, "target", "");
        if (target == "news") {
            host->NavigateNews(config.newsUrl);
        } else if (target == "ranking") {
            host->NavigateNews(config.rankingUrl);
        }
    } else if (cmd == "patch.cancel") {
        cancel.exchange(true);
    } else if (cmd == "patch.retry" || cmd == "patch.start") {
        StartWorker();
    } else if (cmd == "patch.verify") {
        VerifyGameFiles();
    } else if (cmd == "game.play") {
        PlayGame(IntArg(fields, "clients", 1));
    } else if (cmd == "openurl") {
        OpenLink(JsonGetString(fields, "target", ""));
    } else if (cmd == "options.load") {
        SendOptions();
    } else if (cmd == "options.save") {
        GameOptions options;
        options.detail = IntArg(fields, "detail", 2);
        options.distant = IntArg(fields, "distant", 2);
        options.view = IntArg(fields, "view", 2);
        options.shadow = IntArg(fields, "shadow", 2);
        options.fullscreen = JsonGetBool(fields, "fullscreen", false);
        options.resW = IntArg(fields, "resW", 1024);
        options.resH = IntArg(fields, "resH", 768);
        // Not looked at: commands get no replies, and a failed save has logged why.
        static_cast<void>(SaveGameOptions(GameSettingsPath(config, exeDir), options, config.useNewConfigFormat));
    } else if (cmd == "settings.setClientCount") {
        // Stored as sent: the page may keep 0 and read it back as 0.
        SaveClientCount(exeDir, IntArg(fields, "count", 1));
    } else if (cmd == "settings.setAnimatedBg") {
        SaveAnimatedBackground(exeDir, JsonGetBool(fields, "enabled", true));
    } else if (cmd == "settings.setMaxKiBps") {
        // Negative means no cap, like 0; kept in the preferences for later
        // starts, never in Veltrune.ini, which a pass may replace.
        const int32_t cap = std::max(IntArg(fields, "maxKiBps", 0), 0);
        maxKiBps.exchange(cap);
        if (SaveMaxKiBps(exeDir, cap)) {
            LogFormat("Bridge: bandwidth cap set to %d KiB/s (0 = none)", cap);
        } else {
            LogFormat("Bridge: bandwidth cap set to %d KiB/s for this session; PatcherSettings.ini not written (err %lu)",
                      cap, GetLastError());
        }
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
    SendLaunchStarted();
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
    // The page names a link; it never supplies the address itself.
    const std::wstring* link = nullptr;
    if (target == "register") link = &config.register_;
    else if (target == "discord") link = &config.discord;
    else if (target == "youtube") link = &config.youtube;
    else if (target == "facebook") link = &config.facebook;
    else if (target == "roadmap") link = &config.roadmap;
    else if (target == "gallery") link = &config.gallery;
    else if (target == "wiki") link = &config.wiki;
    else if (target == "faq") link = &config.faq;
    if (!link || link->empty()) return;
    MakeLauncher().OpenWebLink(*link);
}

}  // namespace vr

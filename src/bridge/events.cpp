#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "game/game_options.h"
#include "game/preferences.h"
#include "game/resolutions.h"
#include "platform/paths.h"
#include "text/text.h"

namespace vr {
namespace {

// Computed in 64 bits so a huge queue cannot overflow into a nonsense
// percentage; for every realistic count it equals the 32-bit quotient.
int32_t TotalPercent(const ProgressCounters& counters) {
    if (counters.fileCount == 0) return 0;
    return static_cast<int32_t>(static_cast<int64_t>(counters.fileIndex) * 100 / counters.fileCount);
}

void AddCounters(JsonWriter& w, const ProgressCounters& counters) {
    AddInt(w, "fileIndex", counters.fileIndex);
    AddInt(w, "fileCount", counters.fileCount);
    AddInt(w, "totalPercent", TotalPercent(counters));
    AddDouble(w, "downloadMb", counters.downloadMb);
    AddDouble(w, "downloadedMb", counters.downloadedMb);
    AddDouble(w, "reusedMb", counters.reusedMb);
}

std::string BackgroundsArray(const std::vector<std::string>& names) {
    std::string text = "[";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += ',';
        text += '"';
        text += JsonEscape(names[i]);
        text += '"';
    }
    return text + "]";
}

std::string LinksObject(const LauncherConfig& config) {
    // Only the links the page shows itself; the others open by key.
    JsonWriter links;
    AddString(links, "register", WideToUtf8(config.register_));
    AddString(links, "discord", WideToUtf8(config.discord));
    AddString(links, "youtube", WideToUtf8(config.youtube));
    AddString(links, "facebook", WideToUtf8(config.facebook));
    return FinishObject(links);
}

std::string ResolutionsArray(const std::vector<Resolution>& modes) {
    std::string text = "[";
    for (size_t i = 0; i < modes.size(); ++i) {
        if (i > 0) text += ',';
        JsonWriter mode;
        AddInt(mode, "w", modes[i].first);
        AddInt(mode, "h", modes[i].second);
        text += FinishObject(mode);
    }
    return text + "]";
}

}  // namespace

void Bridge::PostEvent(const JsonWriter& writer) { host->PostToPage(Utf8ToWide(FinishObject(writer))); }

void Bridge::SendInit() {
    const LauncherPreferences prefs = LoadPreferences(exeDir);
    const std::wstring assets = JoinPath(exeDir, config.assetsFolder);
    const std::string backgrounds = BackgroundsArray(seams.listBackgrounds(assets));
    const std::string links = LinksObject(config);

    JsonWriter w;
    AddString(w, "evt", "init");
    AddString(w, "version", WideToUtf8(config.launcherVersion));
    AddInt(w, "patchVersion", config.patchVersion);
    AddInt(w, "clientCount", prefs.clientCount);
    AddBool(w, "animatedBg", prefs.animatedBackground);
    AddRaw(w, "backgrounds", backgrounds);
    AddRaw(w, "links", links);
    PostEvent(w);
}

void Bridge::SendOptions() {
    const GameOptions options = LoadGameOptions(GameSettingsPath(config, exeDir), config.useNewConfigFormat);
    const std::vector<Resolution> modes = ListResolutions(seams.displayModes);

    JsonWriter w;
    AddString(w, "evt", "options");
    AddInt(w, "detail", options.detail);
    AddInt(w, "distant", options.distant);
    AddInt(w, "view", options.view);
    AddInt(w, "shadow", options.shadow);
    AddBool(w, "fullscreen", options.fullscreen);
    AddInt(w, "resW", options.resW);
    AddInt(w, "resH", options.resH);
    AddRaw(w, "resolutions", ResolutionsArray(modes));
    AddInt(w, "maxKiBps", maxKiBps.load());
    PostEvent(w);
}

void Bridge::SendPhase(const std::string& phase, const std::string& text) {
    JsonWriter w;
    AddString(w, "evt", "phase");
    AddString(w, "phase", phase);
    AddString(w, "text", text);
    PostEvent(w);
}

void Bridge::SendStatus(const std::string& text) {
    JsonWriter w;
    AddString(w, "evt", "status");
    AddString(w, "text", text);
    PostEvent(w);
}

void Bridge::SendFileCount(ProgressCounters& counters, int32_t count) {
    counters = ProgressCounters{};  // a new pass's downloads begin
    counters.fileCount = count;
    JsonWriter w;
    AddString(w, "evt", "filecount");
    AddInt(w, "fileCount", count);
    PostEvent(w);
}

void Bridge::SendFilesDone(ProgressCounters& counters, int32_t done, int32_t total) {
    counters.fileIndex = done;
    counters.fileCount = total;
    JsonWriter w;
    AddString(w, "evt", "progress");
    AddCounters(w, counters);
    PostEvent(w);
}

void Bridge::SendFileProgress(const ProgressCounters& counters, int32_t percent, double speed, double doneMb,
                              const std::wstring& file) {
    JsonWriter w;
    AddString(w, "evt", "progress");
    AddInt(w, "filePercent", percent);
    AddDouble(w, "speed", speed);
    AddDouble(w, "doneMb", doneMb);
    AddString(w, "file", WideToUtf8(file));
    AddCounters(w, counters);
    PostEvent(w);
}

void Bridge::SendVerifyProgress(int32_t done, int32_t total, double doneMb, double totalMb) {
    JsonWriter w;
    AddString(w, "evt", "verify");
    AddInt(w, "files", done);
    AddInt(w, "fileCount", total);
    AddDouble(w, "doneMb", doneMb);
    AddDouble(w, "totalMb", totalMb);
    PostEvent(w);
}

void Bridge::SendMaintenance(bool active) {
    JsonWriter w;
    AddString(w, "evt", "maintenance");
    AddBool(w, "active", active);
    PostEvent(w);
}

void Bridge::SendReady(bool canPlayNow) {
    JsonWriter w;
    AddString(w, "evt", "ready");
    AddBool(w, "canPlay", canPlayNow);
    PostEvent(w);
}

void Bridge::SendError(const std::string& message) {
    JsonWriter w;
    AddString(w, "evt", "error");
    AddString(w, "message", message);
    PostEvent(w);
}

void Bridge::SendLaunchStarted() {
    JsonWriter w;
    AddString(w, "evt", "launch");
    AddBool(w, "active", true);
    PostEvent(w);
}

void Bridge::PostLaunchEnded(IHostActions& to, int32_t started) {
    JsonWriter w;
    AddString(w, "evt", "launch");
    AddBool(w, "active", false);
    AddInt(w, "started", started);
    to.PostToPage(Utf8ToWide(FinishObject(w)));
}

void Bridge::SendCurrentState() {
    if (running.load()) {
        SendMaintenance(maintenanceActive.load());
        SendReady(canPlay.load());
    }
    if (launching->load()) SendLaunchStarted();
}

}  // namespace vr

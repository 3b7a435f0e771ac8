#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/page_protocol.h"
#include "game/game_options.h"
#include "game/preferences.h"
#include "platform/paths.h"
#include "text/json.h"
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
    JsonWriter links;
    for (const WebLink& link : kWebLinks) {
        if (link.told) AddString(links, link.key, WideToUtf8(config.*link.address));
    }
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

JsonWriter Event(const char* name) {
    JsonWriter w;
    AddString(w, "evt", name);
    return w;
}

}  // namespace

std::string InitEvent(const LauncherConfig& config, const LauncherPreferences& prefs,
                      const std::vector<std::string>& backgrounds) {
    JsonWriter w = Event("init");
    AddString(w, "version", WideToUtf8(config.launcherVersion));
    AddInt(w, "patchVersion", config.patchVersion);
    AddInt(w, "clientCount", prefs.clientCount);
    AddBool(w, "animatedBg", prefs.animatedBackground);
    AddRaw(w, "backgrounds", BackgroundsArray(backgrounds));
    AddRaw(w, "links", LinksObject(config));
    return FinishObject(w);
}

std::string OptionsEvent(const GameOptions& options, const std::vector<Resolution>& modes, int32_t maxKiBps) {
    JsonWriter w = Event("options");
    AddInt(w, "detail", options.detail);
    AddInt(w, "distant", options.distant);
    AddInt(w, "view", options.view);
    AddInt(w, "shadow", options.shadow);
    AddBool(w, "fullscreen", options.fullscreen);
    AddInt(w, "resW", options.resW);
    AddInt(w, "resH", options.resH);
    AddRaw(w, "resolutions", ResolutionsArray(modes));
    AddInt(w, "maxKiBps", maxKiBps);
    return FinishObject(w);
}

std::string PhaseEvent(const std::string& phase) {
    JsonWriter w = Event("phase");
    AddString(w, "phase", phase);
    AddString(w, "text", "");
    return FinishObject(w);
}

std::string StatusEvent(const std::string& text) {
    JsonWriter w = Event("status");
    AddString(w, "text", text);
    return FinishObject(w);
}

std::string FileCountEvent(int32_t count) {
    JsonWriter w = Event("filecount");
    AddInt(w, "fileCount", count);
    return FinishObject(w);
}

std::string FilesDoneEvent(const ProgressCounters& counters) {
    JsonWriter w = Event("progress");
    AddCounters(w, counters);
    return FinishObject(w);
}

std::string FileProgressEvent(const ProgressCounters& counters, int32_t percent, double speed, double doneMb,
                              const std::wstring& file) {
    JsonWriter w = Event("progress");
    AddInt(w, "filePercent", percent);
    AddDouble(w, "speed", speed);
    AddDouble(w, "doneMb", doneMb);
    AddString(w, "file", WideToUtf8(file));
    AddCounters(w, counters);
    return FinishObject(w);
}

std::string VerifyEvent(int32_t done, int32_t total, double doneMb, double totalMb) {
    JsonWriter w = Event("verify");
    AddInt(w, "files", done);
    AddInt(w, "fileCount", total);
    AddDouble(w, "doneMb", doneMb);
    AddDouble(w, "totalMb", totalMb);
    return FinishObject(w);
}

std::string MaintenanceEvent(bool active) {
    JsonWriter w = Event("maintenance");
    AddBool(w, "active", active);
    return FinishObject(w);
}

std::string ReadyEvent(bool canPlay) {
    JsonWriter w = Event("ready");
    AddBool(w, "canPlay", canPlay);
    return FinishObject(w);
}

std::string ErrorEvent(const std::string& message) {
    JsonWriter w = Event("error");
    AddString(w, "message", message);
    return FinishObject(w);
}

std::string LaunchStartedEvent() {
    JsonWriter w = Event("launch");
    AddBool(w, "active", true);
    return FinishObject(w);
}

std::string LaunchEndedEvent(int32_t started) {
    JsonWriter w = Event("launch");
    AddBool(w, "active", false);
    AddInt(w, "started", started);
    return FinishObject(w);
}

void Bridge::Post(const std::string& event) { host->PostToPage(Utf8ToWide(event)); }

void Bridge::SendInit() {
    const std::wstring assets = JoinPath(exeDir, config.assetsFolder);
    Post(InitEvent(config, LoadPreferences(exeDir), seams.listBackgrounds(assets)));
}

void Bridge::SendOptions() {
    const GameOptions options = LoadGameOptions(GameSettingsPath(config, exeDir), config.useNewConfigFormat);
    Post(OptionsEvent(options, ListResolutions(seams.displayModes), maxKiBps.load()));
}

void Bridge::SendCurrentState() {
    if (running.load()) {
        Post(MaintenanceEvent(maintenanceActive.load()));
        Post(ReadyEvent(canPlay.load()));
    }
    if (launching->load()) Post(LaunchStartedEvent());
}

void Bridge::WithdrawPlay() {
    canPlay.exchange(false);
    Post(ReadyEvent(false));
}

}  // namespace vr

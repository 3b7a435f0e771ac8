#pragma once
// The bridge's own half of the page protocol, not for use outside
// src/bridge: the event encoders (each returns the UTF-8 JSON text the page
// receives, members in the order the page protocol fixes) and the web links
// the page may ask to open.
#include <cstdint>
#include <string>
#include <vector>

#include "game/game_options.h"
#include "game/preferences.h"
#include "game/resolutions.h"
#include "platform/launcher_config.h"

namespace vr {

// The web links, by the key the page names them with; the page never
// supplies an address. `told`: "init" carries the address, so the page can
// hide what is not configured; the others are only opened by key.
struct WebLink {
    const char* key;
    std::wstring LauncherConfig::*address;
    bool told;
};
inline constexpr WebLink kWebLinks[] = {
    {"register", &LauncherConfig::register_, true}, {"discord", &LauncherConfig::discord, true},
    {"youtube", &LauncherConfig::youtube, true},    {"facebook", &LauncherConfig::facebook, true},
    {"roadmap", &LauncherConfig::roadmap, false},   {"gallery", &LauncherConfig::gallery, false},
    {"wiki", &LauncherConfig::wiki, false},         {"faq", &LauncherConfig::faq, false},
};

// The worker's view of its pass for "progress" events: the last
// "filecount" and files-done figures, and the MiB of the pass to cross the
// wire, crossed so far, and taken from the player's own copies instead.
struct ProgressCounters {
    int32_t fileCount = 0;
    int32_t fileIndex = 0;
    double downloadMb = 0;
    double downloadedMb = 0;
    double reusedMb = 0;
};

std::string InitEvent(const LauncherConfig& config, const LauncherPreferences& prefs,
                      const std::vector<std::string>& backgrounds);
std::string OptionsEvent(const GameOptions& options, const std::vector<Resolution>& modes, int32_t maxKiBps);
std::string PhaseEvent(const std::string& phase);
std::string StatusEvent(const std::string& text);
std::string FileCountEvent(int32_t count);
// A file done: the counters alone.
std::string FilesDoneEvent(const ProgressCounters& counters);
// A block of a file: the file's figures, then the counters.
std::string FileProgressEvent(const ProgressCounters& counters, int32_t percent, double speed, double doneMb,
                              const std::wstring& file);
// A repair's hashing: files and MiB checked of the total.
std::string VerifyEvent(int32_t done, int32_t total, double doneMb, double totalMb);
std::string MaintenanceEvent(bool active);
std::string ReadyEvent(bool canPlay);
std::string ErrorEvent(const std::string& message);
std::string LaunchStartedEvent();
std::string LaunchEndedEvent(int32_t started);

}  // namespace vr

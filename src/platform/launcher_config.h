#pragma once
// Every launcher setting, as the lower layers receive it: a plain value with
// the built-in defaults. The composition root overrides it from Veltrune.ini
// (app/config.h) and hands each user its own copy.
#include <cstdint>
#include <string>
#include <vector>

namespace vr {

struct LauncherConfig {
    std::wstring launcherVersion;
    std::wstring serverUrl;
    int32_t patchVersion;
    std::vector<std::wstring> mirrors;
    std::wstring listFile;
    std::wstring maintFile;
    std::wstring newLauncher;
    std::wstring updaterExe;
    // Downloads in flight at once in a pass, 1..16; 1 fetches one file at a time.
    int32_t connections;
    // Bandwidth cap of a whole pass in KiB/s, shared by its connections; 0 = none.
    int32_t maxKiBps;
    // Base64 public key (P-256 point X||Y) lists must be signed with; empty:
    // lists are taken unsigned, as before.
    std::wstring listKey;
    // With listKey: lists whose serial is below this are refused, so a fresh
    // install does not take an old signed list. 0: no floor.
    int64_t listMinSerial;
    std::wstring appDataFolderName;
    std::wstring newsUrl;
    std::wstring rankingUrl;
    std::wstring newsContentSelector;
    std::wstring patcherUrl;
    std::wstring assetsHost;
    std::wstring assetsFolder;
    std::wstring gameExe;
    std::wstring startupSalt;
    std::wstring gameConfigFile;
    bool useNewConfigFormat;
    std::wstring register_;  // "register" is a C++ keyword; INI key and JSON name stay "register"
    std::wstring discord;
    std::wstring youtube;
    std::wstring facebook;
    std::wstring roadmap;
    std::wstring gallery;
    std::wstring wiki;
    std::wstring faq;
    std::wstring guildId;
    std::vector<std::wstring> allowedExecutables;

    LauncherConfig();  // all built-in defaults
};

// The game's settings file: the configured gameConfigFile below exeDir.
std::wstring GameSettingsPath(const LauncherConfig& config, const std::wstring& exeDir);

}  // namespace vr

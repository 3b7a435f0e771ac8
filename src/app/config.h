#pragma once
// Every launcher setting: built-in defaults overridden key by key by an
// optional Veltrune.ini beside the executable. Read once at start-up.
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
    // Base64 public key (P-256 point X||Y) lists must be signed with; empty:
    // lists are taken unsigned, as before.
    std::wstring listKey;
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

LauncherConfig LoadLauncherConfig(const std::wstring& exeDir);
std::wstring GameSettingsPath(const LauncherConfig& config, const std::wstring& exeDir);

bool ReadIniBool(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key, bool current);
void WriteIniInt(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key, int32_t value);
std::vector<std::wstring> SplitList(const std::wstring& text);

// Joins a folder and a name with exactly one backslash (none added when the
// folder is empty or already ends in one).
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

}  // namespace vr

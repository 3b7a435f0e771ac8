#include "app/config.h"

#include <windows.h>

#include "app/log.h"
#include "text/text.h"

namespace vr {
namespace {

// A default no value can equal: tells an absent key from an empty one.
constexpr wchar_t kAbsent[] = L"\x0001";
constexpr DWORD kValueChars = 1024;

// Reads a key as text; false when the key is absent.
bool ReadText(const std::wstring& ini, const wchar_t* section, const wchar_t* key, std::wstring& out) {
    wchar_t buffer[kValueChars];
    const DWORD n = GetPrivateProfileStringW(section, key, kAbsent, buffer, kValueChars, ini.c_str());
    std::wstring value(buffer, n);
    if (value == kAbsent) return false;
    out = value;
    return true;
}

void ReadTextKey(const std::wstring& ini, const wchar_t* section, const wchar_t* key, std::wstring& field) {
    std::wstring value;
    if (ReadText(ini, section, key, value)) field = value;
}

void ReadMirrors(const std::wstring& ini, LauncherConfig& c) {
    std::wstring value;
    if (ReadText(ini, L"patch", L"mirrors", value) && !TrimBlanks(value).empty()) {
        c.mirrors = SplitList(value);
        return;
    }
    std::wstring server;
    if (ReadText(ini, L"patch", L"serverUrl", server)) c.mirrors = {c.serverUrl};
}

}  // namespace

LauncherConfig::LauncherConfig()
    : launcherVersion(L"v1.0.0"),
      serverUrl(L"https://patch.veltrune.example/Patch/"),
      patchVersion(29),
      mirrors{L"https://mirror.veltrune.example/patch/", L"https://patch.veltrune.example/Patch/"},
      listFile(L"list.txt"),
      maintFile(L"MaintanenceCheck.txt"),
      newLauncher(L"newLauncher.exe"),
      updaterExe(L"updater.exe"),
      appDataFolderName(L"Quorvane"),
      newsUrl(L"https://www.veltrune.example/news.php"),
      rankingUrl(L"https://www.veltrune.example/rankings.php"),
      newsContentSelector(L".content-page"),
      patcherUrl(L"https://www.veltrune.example/patcher/index.html"),
      assetsHost(L"client-assets"),
      assetsFolder(L"Config\\Assets"),
      gameExe(L"quorvane.exe"),
      startupSalt(L"lumaris"),
      gameConfigFile(L"Config\\Settings.ini"),
      useNewConfigFormat(false),
      register_(L"https://www.veltrune.example/register.php"),
      discord(L"https://discord.gg/veltrune"),
      youtube(L"https://www.youtube.com/@veltrune"),
      facebook(L"https://www.facebook.com/veltrune"),
      roadmap(L"https://www.veltrune.example/roadmap.php"),
      gallery(L"https://www.veltrune.example/gallery.php"),
      wiki(L"https://www.veltrune.example/wiki.php"),
      faq(L"https://www.veltrune.example/faqs.php"),
      guildId(L"1187340012345678901"),
      allowedExecutables{L"quorvane.exe", L"updater.exe", L"explorer.exe"} {}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\') return folder + name;
    return folder + L'\\' + name;
}

LauncherConfig LoadLauncherConfig(const std::wstring& exeDir) {
    LauncherConfig c;
    const std::wstring ini = JoinPath(exeDir, L"Veltrune.ini");
    const DWORD attributes = GetFileAttributesW(ini.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        LogLine("Config: no Veltrune.ini override, using built-in defaults");
        return c;
    }
    LogLine("Config: applying overrides from Veltrune.ini");

    ReadTextKey(ini, L"patch", L"serverUrl", c.serverUrl);
    ReadMirrors(ini, c);
    ReadTextKey(ini, L"patch", L"listFile", c.listFile);
    ReadTextKey(ini, L"patch", L"maintFile", c.maintFile);
    ReadTextKey(ini, L"patch", L"newLauncher", c.newLauncher);
    ReadTextKey(ini, L"patch", L"updaterExe", c.updaterExe);
    ReadTextKey(ini, L"patch", L"launcherVersion", c.launcherVersion);
    std::wstring present;
    if (ReadText(ini, L"patch", L"patchVersion", present)) {
        c.patchVersion = static_cast<int32_t>(GetPrivateProfileIntW(L"patch", L"patchVersion", c.patchVersion, ini.c_str()));
    }
    ReadTextKey(ini, L"patch", L"listKey", c.listKey);

    ReadTextKey(ini, L"game", L"gameExe", c.gameExe);
    ReadTextKey(ini, L"game", L"startupSalt", c.startupSalt);
    ReadTextKey(ini, L"game", L"newsUrl", c.newsUrl);
    ReadTextKey(ini, L"game", L"rankingUrl", c.rankingUrl);
    ReadTextKey(ini, L"game", L"newsContentSelector", c.newsContentSelector);

    ReadTextKey(ini, L"ui", L"patcherUrl", c.patcherUrl);
    ReadTextKey(ini, L"ui", L"assetsHost", c.assetsHost);
    ReadTextKey(ini, L"ui", L"assetsFolder", c.assetsFolder);

    ReadTextKey(ini, L"game", L"gameConfigFile", c.gameConfigFile);
    if (ReadText(ini, L"game", L"useNewConfigFormat", present)) {
        c.useNewConfigFormat = ReadIniBool(ini, L"game", L"useNewConfigFormat", c.useNewConfigFormat);
    }

    ReadTextKey(ini, L"links", L"register", c.register_);
    ReadTextKey(ini, L"links", L"discord", c.discord);
    ReadTextKey(ini, L"links", L"youtube", c.youtube);
    ReadTextKey(ini, L"links", L"facebook", c.facebook);
    ReadTextKey(ini, L"links", L"roadmap", c.roadmap);
    ReadTextKey(ini, L"links", L"gallery", c.gallery);
    ReadTextKey(ini, L"links", L"wiki", c.wiki);
    ReadTextKey(ini, L"links", L"faq", c.faq);

    ReadTextKey(ini, L"discord", L"guildId", c.guildId);
    return c;
}

std::wstring GameSettingsPath(const LauncherConfig& config, const std::wstring& exeDir) {
    return JoinPath(exeDir, config.gameConfigFile);
}

bool ReadIniBool(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key, bool current) {
    wchar_t buffer[kValueChars];
    const DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), current ? L"1" : L"0", buffer, kValueChars,
                                             iniPath.c_str());
    const std::wstring value(buffer, n);
    return value == L"1" || value == L"true" || value == L"True";
}

void WriteIniInt(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key, int32_t value) {
    WritePrivateProfileStringW(section.c_str(), key.c_str(), std::to_wstring(value).c_str(), iniPath.c_str());
}

std::vector<std::wstring> SplitList(const std::wstring& text) {
    std::vector<std::wstring> items;
    std::wstring current;
    auto flush = [&] {
        std::wstring item = TrimBlanks(current);
        if (!item.empty()) items.push_back(std::move(item));
        current.clear();
    };
    for (wchar_t ch : text) {
        if (ch == L'|' || ch == L',') {
            flush();
        } else {
            current += ch;
        }
    }
    flush();
    return items;
}

}  // namespace vr

#include "app/config.h"

#include <windows.h>

#include "patcher/list_rules.h"
#include "platform/ini.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "text/text.h"

namespace vr {
namespace {

// A default no value can equal: tells an absent key from an empty one.
constexpr wchar_t kAbsent[] = L"\x0001";
constexpr DWORD kValueChars = 1024;
constexpr int32_t kMaxConnections = 16;

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

// A number key, read only when present (like patchVersion) and clamped to
// its range with a log line, since a typo should not stop the launcher.
void ReadIntKey(const std::wstring& ini, const wchar_t* key, int32_t low, int32_t high, int32_t& field) {
    std::wstring present;
    if (!ReadText(ini, L"patch", key, present)) return;
    const int32_t value = static_cast<int32_t>(GetPrivateProfileIntW(L"patch", key, field, ini.c_str()));
    field = value < low ? low : value > high ? high : value;
    if (field != value)
        LogFormat("Config: [patch] %ls=%d is out of range %d..%d; using %d", key, value, low, high, field);
}

// Unsigned lists leave players open to whoever serves or carries them; the
// operator should read that in every log.
void WarnWithoutKey(const LauncherConfig& c) {
    if (!TrimBlanks(c.listKey).empty()) return;
    std::vector<std::wstring> servers = c.mirrors;
    if (servers.empty()) servers.push_back(c.serverUrl);
    for (const std::wstring& server : servers) {
        if (_wcsnicmp(server.c_str(), L"http://", 7) == 0) {
            LogFormat("Config: WARNING: no [patch] listKey and %ls is plain http://; anyone on the way to it can "
                      "make players run a program of their choice",
                      server.c_str());
            return;
        }
    }
    LogLine("Config: no [patch] listKey; patch lists are not signature-checked, so a patch server can make "
            "players run a program of their choice");
}

// Read as text: serials outgrow GetPrivateProfileIntW. A value that does not
// read as a list serial is logged and ignored.
void ReadMinSerial(const std::wstring& ini, LauncherConfig& c) {
    std::wstring text;
    if (!ReadText(ini, L"patch", L"listMinSerial", text)) return;
    int64_t value = 0;
    if (ParseListNumber(WideToUtf8(TrimBlanks(text)), value)) {
        c.listMinSerial = value;
        return;
    }
    LogFormat("Config: [patch] listMinSerial=%ls is not a serial of 1 to 18 digits; ignored", text.c_str());
}

LauncherConfig ReadLauncherConfig(const std::wstring& exeDir) {
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
        c.patchVersion =
            static_cast<int32_t>(GetPrivateProfileIntW(L"patch", L"patchVersion", c.patchVersion, ini.c_str()));
    }
    ReadIntKey(ini, L"connections", 1, kMaxConnections, c.connections);
    ReadIntKey(ini, L"maxKiBps", 0, INT32_MAX, c.maxKiBps);
    ReadTextKey(ini, L"patch", L"listKey", c.listKey);
    ReadMinSerial(ini, c);

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

}  // namespace

LauncherConfig LoadLauncherConfig(const std::wstring& exeDir) {
    LauncherConfig c = ReadLauncherConfig(exeDir);
    WarnWithoutKey(c);
    return c;
}

}  // namespace vr

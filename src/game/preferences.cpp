#include "game/preferences.h"

#include <windows.h>

#include "platform/ini.h"
#include "platform/paths.h"

namespace vr {
namespace {

constexpr wchar_t kSection[] = L"option";
constexpr wchar_t kClientCount[] = L"ClientCount";
constexpr wchar_t kAnimatedBackground[] = L"AnimatedBackground";

}  // namespace

std::wstring PreferencesPath(const std::wstring& exeDir) { return JoinPath(exeDir, L"PatcherSettings.ini"); }

LauncherPreferences LoadPreferences(const std::wstring& exeDir) {
    const std::wstring path = PreferencesPath(exeDir);
    LauncherPreferences prefs;
    prefs.clientCount = static_cast<int32_t>(GetPrivateProfileIntW(kSection, kClientCount, prefs.clientCount, path.c_str()));
    prefs.animatedBackground = ReadIniBool(path, kSection, kAnimatedBackground, prefs.animatedBackground);
    return prefs;
}

void SaveClientCount(const std::wstring& exeDir, int32_t count) {
    WriteIniInt(PreferencesPath(exeDir), kSection, kClientCount, count);
}

void SaveAnimatedBackground(const std::wstring& exeDir, bool enabled) {
    WriteIniInt(PreferencesPath(exeDir), kSection, kAnimatedBackground, enabled ? 1 : 0);
}

}  // namespace vr

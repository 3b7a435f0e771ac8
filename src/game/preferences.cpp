#include "game/preferences.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "platform/ini.h"
#include "platform/paths.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr wchar_t kSection[] = L"option";
constexpr wchar_t kClientCount[] = L"ClientCount";
constexpr wchar_t kAnimatedBackground[] = L"AnimatedBackground";
constexpr wchar_t kMaxKiBps[] = L"MaxKiBps";
constexpr wchar_t kListSerialSection[] = L"listSerial";

}  // namespace

std::wstring PreferencesPath(const std::wstring& exeDir) { return JoinPath(exeDir, L"PatcherSettings.ini"); }

LauncherPreferences LoadPreferences(const std::wstring& exeDir) {
    const std::wstring path = PreferencesPath(exeDir);
    LauncherPreferences prefs;
    prefs.clientCount =
        static_cast<int32_t>(GetPrivateProfileIntW(kSection, kClientCount, prefs.clientCount, path.c_str()));
    prefs.animatedBackground = ReadIniBool(path, kSection, kAnimatedBackground, prefs.animatedBackground);
    return prefs;
}

void SaveClientCount(const std::wstring& exeDir, int32_t count) {
    WriteIniInt(PreferencesPath(exeDir), kSection, kClientCount, count);
}

void SaveAnimatedBackground(const std::wstring& exeDir, bool enabled) {
    WriteIniInt(PreferencesPath(exeDir), kSection, kAnimatedBackground, enabled ? 1 : 0);
}

int32_t LoadMaxKiBps(const std::wstring& exeDir) {
    wchar_t buffer[16] = {};
    GetPrivateProfileStringW(kSection, kMaxKiBps, L"", buffer, 16, PreferencesPath(exeDir).c_str());
    if (buffer[0] < L'0' || buffer[0] > L'9') return -1;
    const int64_t value = _wcstoi64(buffer, nullptr, 10);
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

bool SaveMaxKiBps(const std::wstring& exeDir, int32_t kiBps) {
    return WriteIniInt(PreferencesPath(exeDir), kSection, kMaxKiBps, kiBps);
}

// Serials outgrow 32 bits, so they are text, not GetPrivateProfileIntW.
int64_t LoadListSerial(const std::wstring& exeDir, const std::string& keyId) {
    wchar_t buffer[32] = {};
    const std::wstring key = Utf8ToWide(keyId);
    GetPrivateProfileStringW(kListSerialSection, key.c_str(), L"", buffer, 32, PreferencesPath(exeDir).c_str());
    if (buffer[0] < L'0' || buffer[0] > L'9') return -1;
    return _wcstoi64(buffer, nullptr, 10);
}

bool SaveListSerial(const std::wstring& exeDir, const std::string& keyId, int64_t serial) {
    const std::wstring key = Utf8ToWide(keyId);
    return WritePrivateProfileStringW(kListSerialSection, key.c_str(), std::to_wstring(serial).c_str(),
                                      PreferencesPath(exeDir).c_str()) != FALSE;
}

}  // namespace vr

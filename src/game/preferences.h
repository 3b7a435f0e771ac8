#pragma once
// The player's launcher choices, kept in PatcherSettings.ini beside the
// executable, section "option": "ClientCount" (default 1) and
// "AnimatedBackground" (default true). Read and written through the profile
// functions on every call; nothing caches them.
#include <cstdint>
#include <string>

namespace vr {

struct LauncherPreferences {
    int32_t clientCount = 1;  // as stored: no range applied on reading
    bool animatedBackground = true;
};

std::wstring PreferencesPath(const std::wstring& exeDir);

LauncherPreferences LoadPreferences(const std::wstring& exeDir);
// Written as decimal text (a boolean as 1 or 0); results are not checked.
void SaveClientCount(const std::wstring& exeDir, int32_t count);
void SaveAnimatedBackground(const std::wstring& exeDir, bool enabled);

// The player's bandwidth cap in KiB/s (0 = none), key "MaxKiBps"; -1 while
// the player has never set one. Here and not in Veltrune.ini, which a patch
// pass may replace.
int32_t LoadMaxKiBps(const std::wstring& exeDir);
// False when the file could not be written (GetLastError says why).
bool SaveMaxKiBps(const std::wstring& exeDir, int32_t kiBps);

// The highest patch-list serial accepted for a list key, section
// "listSerial", the key's id as the INI key; -1 when none is stored. Kept
// here so a list rolled back by a mirror is refused across runs.
int64_t LoadListSerial(const std::wstring& exeDir, const std::string& keyId);
// False when the file could not be written (GetLastError says why).
bool SaveListSerial(const std::wstring& exeDir, const std::string& keyId, int64_t serial);

}  // namespace vr

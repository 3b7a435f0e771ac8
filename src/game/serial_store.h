#pragma once
// The highest patch-list serial accepted per list key, kept twice: in
// PatcherSettings.ini in the game folder, and in the same file under the
// player's local application data (<LocalAppData>\<appDataFolderName>), so
// a deleted settings file, a fresh copy of the game or a game folder that
// cannot be written does not reopen the door to every list ever signed.
#include <cstdint>
#include <string>

namespace vr {

// The local folder for appDataFolderName; empty when Windows names none.
std::wstring LocalSerialFolder(const std::wstring& appDataFolderName);

// The higher of the two places; -1 when neither holds one. An empty
// localFolder is skipped.
int64_t LoadKeptSerial(const std::wstring& exeDir, const std::wstring& localFolder, const std::string& keyId);
// Writes both (creating the local folder); each place that cannot be
// written is logged.
void SaveKeptSerial(const std::wstring& exeDir, const std::wstring& localFolder, const std::string& keyId,
                    int64_t serial);

}  // namespace vr

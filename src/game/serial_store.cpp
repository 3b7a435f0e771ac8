#include "game/serial_store.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

#include "game/preferences.h"
#include "platform/folders.h"
#include "platform/log.h"

namespace vr {
namespace {

void Save(const std::wstring& folder, const std::string& keyId, int64_t serial) {
    if (SaveListSerial(folder, keyId, serial)) return;
    const DWORD error = GetLastError();
    LogFormat("Patcher: could not remember list serial %lld in %ls (err %lu)", static_cast<long long>(serial),
              PreferencesPath(folder).c_str(), static_cast<unsigned long>(error));
}

}  // namespace

std::wstring LocalSerialFolder(const std::wstring& appDataFolderName) {
    const std::wstring local = LocalAppDataFolder();
    return local.empty() ? std::wstring() : local + L"\\" + appDataFolderName;
}

int64_t LoadKeptSerial(const std::wstring& exeDir, const std::wstring& localFolder, const std::string& keyId) {
    const int64_t inGame = LoadListSerial(exeDir, keyId);
    return localFolder.empty() ? inGame : std::max(inGame, LoadListSerial(localFolder, keyId));
}

void SaveKeptSerial(const std::wstring& exeDir, const std::wstring& localFolder, const std::string& keyId,
                    int64_t serial) {
    Save(exeDir, keyId, serial);
    if (localFolder.empty()) {
        LogLine("Patcher: no local application data folder; the list serial is kept in the game folder only");
        return;
    }
    static_cast<void>(SHCreateDirectoryExW(nullptr, localFolder.c_str(), nullptr));
    Save(localFolder, keyId, serial);
}

}  // namespace vr

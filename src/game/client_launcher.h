#pragma once
// Starts processes on the player's behalf: the game clients, the hidden
// updater and the default browser for web links. Every executable must be on
// the configured allow-list; every refusal is logged.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/launcher_config.h"

namespace vr {

class ClientLauncher {
public:
    // exeDir is the launcher's folder; one backslash is appended unless it is
    // empty or already ends in one.
    ClientLauncher(LauncherConfig config, std::wstring exeDir);

    // Whole-name, case-insensitive match against allowedExecutables; a miss
    // is logged with the name.
    bool IsAllowedExecutable(const std::wstring& name) const;

    // Starts max(count, 1) game clients one after another, 2500 ms apart;
    // stops at the first failure. Returns how many started.
    int LaunchClients(int32_t count);

    // Starts the updater hidden with the launcher's path, the replacement's
    // path and this process id.
    bool StartUpdater();

    // Opens an http:// or https:// address in the default browser; anything
    // else is refused with a log line.
    void OpenWebLink(const std::wstring& url);

    // Seams, defaulting to the platform. Tests swap them to avoid real waits,
    // a real browser, or to simulate a missing roaming folder.
    std::function<void(uint32_t milliseconds)> pause;                 // Sleep
    std::function<void(const std::wstring& url)> shellOpen;           // ShellExecuteW "open"
    std::function<bool(std::wstring& folder)> roamingAppDataFolder;   // SHGetFolderPathW(CSIDL_APPDATA)

    const LauncherConfig config;
    const std::wstring baseDir;  // ends in a backslash unless empty
};

}  // namespace vr

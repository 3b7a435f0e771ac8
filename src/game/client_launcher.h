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
    // What a test may replace; every member starts as the shipped behaviour.
    struct Seams {
        Seams();
        // The pause between two clients: Sleep.
        std::function<void(uint32_t milliseconds)> pause;
        // Opens a web address: ShellExecuteW with the verb "open".
        std::function<void(const std::wstring& url)> shellOpen;
    };

    // exeDir is the launcher's folder; one backslash is appended unless it is
    // empty or already ends in one.
    ClientLauncher(LauncherConfig config, std::wstring exeDir, Seams seams = {});

    // Whole-name, case-insensitive match against allowedExecutables; a miss
    // is logged with the name.
    bool IsAllowedExecutable(const std::wstring& name) const;

    // Starts max(count, 1) game clients one after another, 2500 ms apart;
    // stops at the first failure. Returns how many started.
    int LaunchClients(int32_t count);

    // Starts the updater hidden with the launcher's path, the replacement's
    // path (where the self-update pass wrote it; may be empty) and this
    // process id.
    bool StartUpdater(const std::wstring& replacementPath);

    // Opens an http:// or https:// address in the default browser; anything
    // else is refused with a log line.
    void OpenWebLink(const std::wstring& url);

private:
    const LauncherConfig config;
    const std::wstring baseDir;  // ends in a backslash unless empty
    const Seams seams;
};

}  // namespace vr

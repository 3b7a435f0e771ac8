#include "game/client_launcher.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

#include "platform/folders.h"
#include "platform/handles.h"
#include "platform/log.h"

namespace vr {
namespace {

constexpr DWORD kInputIdleWaitMs = 6000;
constexpr uint32_t kClientSpacingMs = 2500;

std::wstring WithTrailingBackslash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder;
}

std::wstring WorkingDirectoryOf(const std::wstring& baseDir) {
    std::wstring dir = baseDir;
    if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    return dir;
}

// CreateProcessW may write into the command line, so it gets its own
// NUL-terminated copy.
std::vector<wchar_t> WritableCopy(const std::wstring& text) {
    std::vector<wchar_t> buffer(text.begin(), text.end());
    buffer.push_back(L'\0');
    return buffer;
}

// An empty folder means "inherit ours": CreateProcessW rejects an empty string.
const wchar_t* DirectoryOrNull(const std::wstring& dir) { return dir.empty() ? nullptr : dir.c_str(); }

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    const size_t n = std::wcslen(prefix);
    return text.size() >= n && text.compare(0, n, prefix) == 0;
}

void DefaultPause(uint32_t milliseconds) { Sleep(milliseconds); }

void DefaultShellOpen(const std::wstring& url) {
    // Not looked at: the browser shows its own errors, and there is nothing
    // the launcher could do about a missing one.
    static_cast<void>(ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
}

}  // namespace

ClientLauncher::Seams::Seams() : pause(DefaultPause), shellOpen(DefaultShellOpen) {}

ClientLauncher::ClientLauncher(LauncherConfig config, std::wstring exeDir, Seams seams)
    : config(std::move(config)), baseDir(WithTrailingBackslash(std::move(exeDir))), seams(std::move(seams)) {}

bool ClientLauncher::IsAllowedExecutable(const std::wstring& name) const {
    const bool allowed =
        std::any_of(config.allowedExecutables.begin(), config.allowedExecutables.end(),
                    [&](const std::wstring& entry) { return _wcsicmp(entry.c_str(), name.c_str()) == 0; });
    if (!allowed) LogFormat("GameLaunch: blocked non-whitelisted executable '%ls'", name.c_str());
    return allowed;
}

int ClientLauncher::LaunchClients(int32_t count) {
    const int total = std::max<int32_t>(count, 1);
    if (!IsAllowedExecutable(config.gameExe)) return 0;

    const std::wstring exePath = baseDir + config.gameExe;
    const std::wstring workDir = WorkingDirectoryOf(baseDir);
    const std::wstring commandLine = L"\"" + exePath + L"\" " + config.startupSalt;

    int started = 0;
    for (int i = 0; i < total; ++i) {
        {
            std::vector<wchar_t> buffer = WritableCopy(commandLine);
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            ProcessHandles process;
            if (!CreateProcessW(exePath.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                DirectoryOrNull(workDir), &startup, &process.info)) {
                LogFormat("GameLaunch: CreateProcess failed (err %lu)", GetLastError());
                break;
            }
            // Lets each client reach its message loop before the next one loads.
            // Not looked at: a client without a message loop, or one slower
            // than the wait, is still a started client.
            static_cast<void>(WaitForInputIdle(process.info.hProcess, kInputIdleWaitMs));
        }  // handles closed before the pause
        ++started;
        if (i + 1 < total) seams.pause(kClientSpacingMs);
    }
    LogFormat("GameLaunch: started %d/%d client(s)", started, total);
    return started;
}

bool ClientLauncher::StartUpdater(const std::wstring& replacementPath) {
    if (!IsAllowedExecutable(config.updaterExe)) return false;

    const std::wstring updaterPath = baseDir + config.updaterExe;
    const std::wstring workDir = WorkingDirectoryOf(baseDir);

    const std::wstring modulePath = GetExePath();
    if (modulePath.empty()) {
        // The updater still gets its four parts; it refuses an empty path itself.
        LogFormat("GameLaunch: own path unknown (err %lu)", GetLastError());
    }

    const std::wstring commandLine = L"\"" + updaterPath + L"\" \"" + modulePath + L"\" \"" + replacementPath + L"\" " +
                                     std::to_wstring(GetCurrentProcessId());
    std::vector<wchar_t> buffer = WritableCopy(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    ProcessHandles process;
    if (!CreateProcessW(updaterPath.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        DirectoryOrNull(workDir), &startup, &process.info)) {
        LogFormat("GameLaunch: updater start failed (err %lu)", GetLastError());
        return false;
    }
    return true;
}

void ClientLauncher::OpenWebLink(const std::wstring& url) {
    if (StartsWith(url, L"https://") || StartsWith(url, L"http://")) {
        seams.shellOpen(url);
        return;
    }
    LogLine("GameLaunch: refused non-web url");
}

}  // namespace vr

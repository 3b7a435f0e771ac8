// Process entry: DPI awareness, COM apartment, single-instance guard, log and
// configuration, the host window and the bridge, the message loop, and the
// orderly stop that waits for the worker.
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "app/config.h"
#include "app/exe_dir.h"
#include "app/log.h"
#include "bridge/bridge.h"
#include "host/host_window.h"

namespace {

constexpr wchar_t kInstanceMutex[] = L"Veltrune-4e7a2c91-5b3d-4f08-9a61-c2d8e05b7f13";

// Newer than the oldest Windows we support at link level, so looked up at run
// time; the manifest normally sets the same awareness already.
void MakePerMonitorDpiAware() {
    using SetContextFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (!user32) return;
    auto set = reinterpret_cast<SetContextFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
    if (set) set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

std::wstring LocalAppDataFolder() {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    MakePerMonitorDpiAware();
    const bool comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));

    HANDLE instanceMutex = CreateMutexW(nullptr, FALSE, kInstanceMutex);
    if (instanceMutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another copy runs: leave silently, without touching its log.
        CloseHandle(instanceMutex);
        if (comReady) CoUninitialize();
        return 0;
    }

    const std::wstring exeDir = vr::GetExeDirectory();
    vr::InitLog(exeDir);
    vr::LogLine("Veltrune starting");
    const vr::LauncherConfig config = vr::LoadLauncherConfig(exeDir);

    const std::wstring webDir = exeDir + L"\\web";
    const std::wstring assetsDir = exeDir + L"\\" + config.assetsFolder;
    const std::wstring userDataDir = LocalAppDataFolder() + L"\\Veltrune";

    int exitCode = 0;
    {
        vr::HostWindow host;
        vr::Bridge bridge(config, exeDir, &host);
        auto onMessage = [bridgePtr = &bridge](const std::wstring& message) { bridgePtr->OnWebMessage(message); };

        const bool created = host.Create(instance, L"Veltrune", webDir, userDataDir, config.patcherUrl,
                                         config.assetsHost, assetsDir, config.newsUrl, config.newsContentSelector,
                                         onMessage);
        if (!created) {
            vr::LogLine("Veltrune: window creation failed");
            if (comReady) CoUninitialize();
            if (instanceMutex) CloseHandle(instanceMutex);
            exitCode = 1;
        } else {
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            exitCode = static_cast<int>(msg.wParam);
            vr::LogLine("Veltrune exiting");
            if (comReady) CoUninitialize();
            if (instanceMutex) CloseHandle(instanceMutex);
        }

        // Stop a running pass at its next check and wait for it, however long
        // that takes: the worker still uses the bridge and the host pointer.
        bridge.StopWorker();
    }  // bridge, then host window and its browser objects
    return exitCode;
}

// Process entry and composition root: builds every long-lived object, runs
// the message loop, and takes it all down again in a fixed order.
#include <windows.h>

#include <string>

#include "app/config.h"
#include "bridge/bridge.h"
#include "host/host_window.h"
#include "platform/com.h"
#include "platform/dpi.h"
#include "platform/folders.h"
#include "platform/handles.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

constexpr wchar_t kInstanceMutex[] = L"Veltrune-4e7a2c91-5b3d-4f08-9a61-c2d8e05b7f13";
constexpr wchar_t kTitle[] = L"Veltrune";

// Null when the mutex could not be made at all: the launcher then runs
// without a guard.
vr::KernelHandle CreateInstanceMutex(bool& anotherInstanceRuns) {
    vr::KernelHandle mutex(CreateMutexW(nullptr, FALSE, kInstanceMutex));
    anotherInstanceRuns = mutex && GetLastError() == ERROR_ALREADY_EXISTS;
    return mutex;
}

// The folders of the web views and what they show, from the configuration.
vr::HostWindowOptions HostOptions(HINSTANCE instance, const vr::LauncherConfig& config, const std::wstring& exeDir,
                                  vr::MessageFn onMessage) {
    vr::HostWindowOptions options;
    options.instance = instance;
    options.title = kTitle;
    options.view.webDir = vr::JoinPath(exeDir, L"web");
    options.view.assetsDir = vr::JoinPath(exeDir, config.assetsFolder);
    // Unchecked: without the folder the profile is just "\Veltrune".
    options.view.userDataDir = vr::LocalAppDataFolder() + L"\\Veltrune";
    options.view.startUrl = config.patcherUrl;
    options.view.assetsHost = config.assetsHost;
    options.view.newsUrl = config.newsUrl;
    options.view.newsSelector = config.newsContentSelector;
    options.view.onMessage = std::move(onMessage);
    return options;
}

// Until the quit message; its parameter is the exit code.
int RunMessageLoop() {
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

// Stops a running pass at its next check and waits for it, however long that
// takes: the worker still uses the bridge and the host pointer. Runs on every
// path out of the window's lifetime, before the bridge and the host go.
class WorkerStop {
public:
    explicit WorkerStop(vr::Bridge& bridge) : bridge_(bridge) {}
    ~WorkerStop() { bridge_.StopWorker(); }
    WorkerStop(const WorkerStop&) = delete;
    WorkerStop& operator=(const WorkerStop&) = delete;

private:
    vr::Bridge& bridge_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Start-up. The result is not checked: the manifest has normally set the
    // same awareness already.
    (void)vr::MakePerMonitorDpiAware();
    // A failed apartment is not fatal: the web views then report it.
    vr::ComApartment com;
    bool anotherInstanceRuns = false;
    vr::KernelHandle instanceMutex = CreateInstanceMutex(anotherInstanceRuns);
    // Leave silently, without touching the running copy's log; the guards
    // close the mutex, then leave the apartment.
    if (anotherInstanceRuns) return 0;

    const std::wstring exeDir = vr::GetExeDirectory();
    vr::InitLog(exeDir);
    vr::LogLine("Veltrune starting");
    const vr::LauncherConfig config = vr::LoadLauncherConfig(exeDir);

    int exitCode = 0;
    {
        vr::HostWindow host;
        vr::Bridge bridge(config, exeDir, &host);
        auto onMessage = [bridgePtr = &bridge](const std::wstring& message) { bridgePtr->OnWebMessage(message); };
        const WorkerStop stopWorker(bridge);

        if (host.Create(HostOptions(instance, config, exeDir, std::move(onMessage)))) {
            exitCode = RunMessageLoop();
            vr::LogLine("Veltrune exiting");
        } else {
            vr::LogLine("Veltrune: window creation failed");
            exitCode = 1;
        }

        // Shutdown: the apartment and the mutex go first, so a second start
        // can already succeed while the worker winds down.
        com.Leave();
        instanceMutex.Reset();
    }  // the worker stopped and joined, then the bridge, then the host window and its browser objects
    return exitCode;
}

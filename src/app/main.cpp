#include <windows.h>

#include "app/config.h"
#include "app/log.h"

// Interim entry point: the host window arrives with its own change.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exeDir = path;
    const size_t slash = exeDir.rfind(L'\\');
    exeDir = slash == std::wstring::npos ? std::wstring() : exeDir.substr(0, slash);
    vr::InitLog(exeDir);
    vr::LogLine("Veltrune starting");
    vr::LauncherConfig config = vr::LoadLauncherConfig(exeDir);
    vr::LogLine("Veltrune exiting");
    return 0;
}

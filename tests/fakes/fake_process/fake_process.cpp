// fake_process.exe: stands in for the game client and the updater in tests.
// Copy it under the configured name (quorvane.exe, updater.exe) and start it.
//
// Environment (inherited from the starting process):
//   VR_FAKE_RECORD=<path>     appends one line per start, UTF-8, ending in CR LF:
//       pid=<id>\ttime=<ms>\tcwd=<folder>\tflags=<n>\tshow=<n>\tcmd=<command line>
//     time: the system clock in ms when the record is written (comparable
//     across processes);
//     cwd: GetCurrentDirectoryW; flags/show: dwFlags and wShowWindow of
//     GetStartupInfoW; cmd: GetCommandLineW exactly, always the last field.
//     fake_record.h beside this file reads the records back.
//   VR_FAKE_EXIT_FILE=<path>  after recording, pumps messages (so the process
//     reports input-idle) until this file exists, at most VR_FAKE_MAX_MS
//     (default 60000) milliseconds. Without it the process exits at once.
//   VR_FAKE_IDLE_DELAY_MS=<n> sleeps this long before recording and pumping,
//     so a starter that waits for input-idle finds the record already there.
//   VR_FAKE_EXIT_CODE=<n>     the exit code (default 0).
#include <windows.h>

#include <string>

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    if (n == 0 || n >= 4096) return {};
    return std::wstring(buffer, n);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

unsigned long long NowMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    return t.QuadPart / 10000;
}

void AppendRecord(const std::wstring& path, const std::string& line) {
    // Several fakes may start close together: retry while another holds it.
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(file);
            return;
        }
        Sleep(10);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring delay = Env(L"VR_FAKE_IDLE_DELAY_MS");
    if (!delay.empty()) Sleep(static_cast<DWORD>(std::stoul(delay)));
    const unsigned long long started = NowMs();
    const std::wstring recordPath = Env(L"VR_FAKE_RECORD");
    if (!recordPath.empty()) {
        wchar_t cwd[MAX_PATH * 2] = L"";
        GetCurrentDirectoryW(MAX_PATH * 2, cwd);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        GetStartupInfoW(&startup);
        const std::wstring line = L"pid=" + std::to_wstring(GetCurrentProcessId()) + L"\ttime=" +
                                  std::to_wstring(started) + L"\tcwd=" + cwd + L"\tflags=" +
                                  std::to_wstring(startup.dwFlags) + L"\tshow=" + std::to_wstring(startup.wShowWindow) +
                                  L"\tcmd=" + GetCommandLineW() + L"\r\n";
        AppendRecord(recordPath, ToUtf8(line));
    }

    const std::wstring exitFile = Env(L"VR_FAKE_EXIT_FILE");
    if (!exitFile.empty()) {
        const std::wstring maxText = Env(L"VR_FAKE_MAX_MS");
        const unsigned long long maxMs = maxText.empty() ? 60000ULL : std::stoull(maxText);
        const ULONGLONG begin = GetTickCount64();
        MSG msg;
        while (GetFileAttributesW(exitFile.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() - begin < maxMs) {
            // An empty queue seen by PeekMessage is what WaitForInputIdle waits for.
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
    }

    const std::wstring code = Env(L"VR_FAKE_EXIT_CODE");
    return code.empty() ? 0 : std::stoi(code);
}

#include "app/log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "text/text.h"

namespace vr {
namespace {

// Function-local statics: usable from static initialisers of other files and
// never destroyed before a late line from a winding-down thread.
std::mutex& LogMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::wstring& LogPath() {
    static auto* p = new std::wstring;
    return *p;
}

struct FileHandle {
    HANDLE h;
    ~FileHandle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

}  // namespace

void InitLog(const std::wstring& exeDir) {
    std::lock_guard<std::mutex> lock(LogMutex());
    std::wstring path = exeDir;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    path += L"Veltrune.log";
    LogPath() = path;
    FileHandle file{CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
}

void LogLine(const std::string& text) {
    const std::wstring debugText = L"[VR] " + Utf8ToWide(text) + L"\n";
    OutputDebugStringW(debugText.c_str());

    std::lock_guard<std::mutex> lock(LogMutex());
    const std::wstring& path = LogPath();
    if (path.empty()) return;

    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", now.wHour, now.wMinute, now.wSecond,
                  now.wMilliseconds);
    std::string line = stamp;
    line += text;
    line += "\r\n";

    // Opened and closed per line, so the file can be read, copied or deleted
    // while the launcher runs.
    FileHandle file{CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file.h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void LogFormat(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) buffer[0] = '\0';
    LogLine(buffer);
}

}  // namespace vr

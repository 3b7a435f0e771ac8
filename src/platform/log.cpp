#include "platform/log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/handles.h"
#include "platform/paths.h"
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

constexpr size_t kMaxFormatted = 1023;

// One conversion given to snprintf with its one argument, so numbers format
// exactly as printf does.
template <typename T>
void AppendOne(std::string& out, const std::string& spec, T value) {
    const int n = std::snprintf(nullptr, 0, spec.c_str(), value);
    if (n <= 0) return;
    const size_t old = out.size();
    out.resize(old + static_cast<size_t>(n) + 1);
    std::snprintf(&out[old], static_cast<size_t>(n) + 1, spec.c_str(), value);
    out.resize(old + static_cast<size_t>(n));
}

// printf-style formatting whose wide strings ("%ls") become UTF-8 whatever
// the C library's locale is (the library's own conversion of them is
// locale-bound: Latin-1 bytes, dropped characters or a failed call). Only
// what the launcher's formats use is understood: flags, a width and a
// precision in digits, the lengths l, ll and z, and d i u x X f s %. Anything
// else, like a format cut inside a conversion, ends the formatting with the
// rest kept as text, since the type of its argument is unknown.
std::string FormatUtf8(const char* format, va_list args) {
    std::string out;
    const char* p = format;
    while (*p != '\0' && out.size() <= kMaxFormatted) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* const start = p++;
        p += std::strspn(p, "-+ #0");
        p += std::strspn(p, "0123456789");
        if (*p == '.') p += 1 + std::strspn(p + 1, "0123456789");
        const std::string spec(start, p);  // '%', flags, width, precision
        char length = 0;                   // 'l', 'L' for ll, or 'z'
        if (p[0] == 'l' && p[1] == 'l') {
            length = 'L';
            p += 2;
        } else if (*p == 'l' || *p == 'z') {
            length = *p++;
        }
        const char conversion = *p++;
        // long and int are 32 bits on Windows, size_t and long long 64.
        const bool wide64 = length == 'L' || length == 'z';
        switch (conversion) {
            case '%': out += '%'; break;
            case 'd':
            case 'i':
                AppendOne(out, spec + "lld",
                          wide64          ? va_arg(args, long long)
                          : length == 'l' ? va_arg(args, long)
                                          : va_arg(args, int));
                break;
            case 'u':
            case 'x':
            case 'X':
                AppendOne(out, spec + "ll" + conversion,
                          wide64          ? va_arg(args, unsigned long long)
                          : length == 'l' ? va_arg(args, unsigned long)
                                          : va_arg(args, unsigned int));
                break;
            case 'f': AppendOne(out, spec + "f", va_arg(args, double)); break;
            case 's':
                if (length == 'l') {
                    const wchar_t* wide = va_arg(args, const wchar_t*);
                    AppendOne(out, spec + "s", wide != nullptr ? WideToUtf8(wide).c_str() : "(null)");
                } else {
                    const char* narrow = va_arg(args, const char*);
                    AppendOne(out, spec + "s", narrow != nullptr ? narrow : "(null)");
                }
                break;
            default: out.append(start); return out;
        }
    }
    return out;
}

}  // namespace

void InitLog(const std::wstring& exeDir) {
    std::lock_guard<std::mutex> lock(LogMutex());
    const std::wstring path = JoinPath(exeDir, L"Veltrune.log");
    LogPath() = path;
    // Opening with CREATE_ALWAYS empties the file; nothing is written yet.
    const KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
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
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::string line = stamp;
    line += text;
    line += "\r\n";

    // Opened and closed per line, so the file can be read, copied or deleted
    // while the launcher runs.
    const KernelHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    // The log never fails its caller; a line the disk refused is lost.
    (void)WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void LogFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatUtf8(format, args);
    va_end(args);
    // As a 1024-byte buffer with truncation would: at most 1023 bytes, cut.
    if (text.size() > kMaxFormatted) text.resize(kMaxFormatted);
    LogLine(text);
}

}  // namespace vr

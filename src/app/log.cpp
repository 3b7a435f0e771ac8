#include "app/log.h"

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

constexpr size_t kMaxFormatted = 1023;

// One conversion of a printf-family format, given to snprintf with its one
// argument.
template <typename T>
void AppendOne(std::string& out, const std::string& spec, T value) {
    const int n = std::snprintf(nullptr, 0, spec.c_str(), value);
    if (n <= 0) return;
    const size_t old = out.size();
    out.resize(old + static_cast<size_t>(n) + 1);
    std::snprintf(&out[old], static_cast<size_t>(n) + 1, spec.c_str(), value);
    out.resize(old + static_cast<size_t>(n));
}

// printf-style formatting whose wide arguments ("%ls", "%S", "%lc", "%C")
// become UTF-8 whatever the C library's locale is (the library's own
// conversion of them is locale-bound: Latin-1 bytes, dropped characters or a
// failed call). Narrow strings are copied as they are. Each conversion is
// handed to snprintf on its own, so numbers format exactly as printf does.
std::string FormatUtf8(const char* format, va_list args) {
    std::string out;
    const char* p = format;
    while (*p != '\0' && out.size() <= kMaxFormatted) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* const specStart = p++;
        std::string flags;
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) flags += *p++;
        int width = -1;
        if (*p == '*') {
            width = va_arg(args, int);
            if (width < 0) {
                flags += '-';
                width = width == INT_MIN ? 0 : -width;
            }
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            width = 0;
            while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);  // negative: as if omitted
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
            }
        }
        // Length modifier, folded into: 0 none, 'H' hh, 'h', 'l', 'L' 64-bit
        // integer, 'D' long double.
        char length = 0;
        if (p[0] == 'h' && p[1] == 'h') {
            length = 'H';
            p += 2;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = 'L';
            p += 2;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            length = 'L';
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            length = 0;
            p += 3;
        } else if (*p == 'h' || *p == 'l' || *p == 'w') {
            length = *p == 'h' ? 'h' : 'l';
            ++p;
        } else if (*p == 'j' || *p == 'z' || *p == 't' || *p == 'I' || *p == 'q') {
            length = 'L';  // all 64 bits wide on 64-bit Windows
            ++p;
        } else if (*p == 'L') {
            length = 'D';
            ++p;
        }
        const char conversion = *p;
        if (conversion == '\0') {  // a format cut inside a conversion
            out.append(specStart);
            break;
        }
        ++p;

        std::string spec = "%" + flags;
        if (width >= 0) spec += std::to_string(width);
        std::string precisionText;
        if (precision >= 0) {
            precisionText = ".";
            precisionText += std::to_string(precision);
        }

        switch (conversion) {
            case '%':
                out += '%';
                break;
            case 'd':
            case 'i': {
                long long v;
                if (length == 'L') {
                    v = va_arg(args, long long);
                } else if (length == 'l') {
                    v = va_arg(args, long);
                } else {
                    v = va_arg(args, int);
                    if (length == 'h') v = static_cast<short>(v);
                    if (length == 'H') v = static_cast<signed char>(v);
                }
                AppendOne(out, spec + precisionText + "ll" + conversion, v);
                break;
            }
            case 'u':
            case 'o':
            case 'x':
            case 'X': {
                unsigned long long v;
                if (length == 'L') {
                    v = va_arg(args, unsigned long long);
                } else if (length == 'l') {
                    v = va_arg(args, unsigned long);
                } else {
                    v = va_arg(args, unsigned int);
                    if (length == 'h') v = static_cast<unsigned short>(v);
                    if (length == 'H') v = static_cast<unsigned char>(v);
                }
                AppendOne(out, spec + precisionText + "ll" + conversion, v);
                break;
            }
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (length == 'D') {
                    AppendOne(out, spec + precisionText + "L" + conversion, va_arg(args, long double));
                } else {
                    AppendOne(out, spec + precisionText + conversion, va_arg(args, double));
                }
                break;
            case 'p':
                AppendOne(out, spec + "p", va_arg(args, void*));
                break;
            case 'c':
            case 'C':
                if (length == 'l' || conversion == 'C') {
                    // wint_t is promoted to int when passed through "...".
                    const std::wstring wide(1, static_cast<wchar_t>(va_arg(args, int)));
                    AppendOne(out, spec + "s", WideToUtf8(wide).c_str());
                } else {
                    AppendOne(out, spec + "c", va_arg(args, int));
                }
                break;
            case 's':
            case 'S':
                if (length == 'l' || conversion == 'S') {
                    const wchar_t* wide = va_arg(args, const wchar_t*);
                    const std::string utf8 = wide != nullptr ? WideToUtf8(wide) : std::string("(null)");
                    AppendOne(out, spec + precisionText + "s", utf8.c_str());
                } else {
                    const char* narrow = va_arg(args, const char*);
                    AppendOne(out, spec + precisionText + "s", narrow != nullptr ? narrow : "(null)");
                }
                break;
            case 'n':
                (void)va_arg(args, void*);  // nothing is stored through it
                break;
            default:
                // Unknown conversion: its argument type is unknown too, so the
                // rest of the format is kept as text.
                out.append(specStart);
                p = specStart + std::strlen(specStart);
                break;
        }
    }
    return out;
}

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
    va_list args;
    va_start(args, format);
    std::string text = FormatUtf8(format, args);
    va_end(args);
    // As a 1024-byte buffer with truncation would: at most 1023 bytes, cut.
    if (text.size() > kMaxFormatted) text.resize(kMaxFormatted);
    LogLine(text);
}

}  // namespace vr

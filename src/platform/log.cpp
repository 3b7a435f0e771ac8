#include "platform/log.h"

#include <windows.h>

#include <climits>
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

// The variable arguments, carried by reference from one helper to the next.
struct Arguments {
    va_list list;
};

// One parsed conversion: "%" flags width ".precision" length conversion.
struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    // Length modifier, folded into: 0 none, 'H' hh, 'h', 'l', 'L' 64-bit
    // integer, 'D' long double.
    char length = 0;
    char conversion = 0;

    std::string Prefix() const {
        std::string spec = "%" + flags;
        if (width >= 0) spec += std::to_string(width);
        return spec;
    }
    std::string Precision() const {
        if (precision < 0) return std::string();
        // Not string concatenation: GCC 12 warns falsely (-Wrestrict) on it.
        char text[16];
        std::snprintf(text, sizeof text, ".%d", precision);
        return text;
    }
};

int ReadNumber(const char*& p) {
    int value = 0;
    while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
    return value;
}

void ParseWidthAndPrecision(const char*& p, Arguments& args, Conversion& c) {
    if (*p == '*') {
        c.width = va_arg(args.list, int);
        if (c.width < 0) {
            c.flags += '-';
            c.width = c.width == INT_MIN ? 0 : -c.width;
        }
        ++p;
    } else if (*p >= '0' && *p <= '9') {
        c.width = ReadNumber(p);
    }
    if (*p != '.') return;
    ++p;
    if (*p == '*') {
        c.precision = va_arg(args.list, int);  // negative: as if omitted
        ++p;
    } else {
        c.precision = ReadNumber(p);
    }
}

void ParseLength(const char*& p, Conversion& c) {
    if (p[0] == 'h' && p[1] == 'h') {
        c.length = 'H';
        p += 2;
    } else if (p[0] == 'l' && p[1] == 'l') {
        c.length = 'L';
        p += 2;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
        c.length = 'L';
        p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
        c.length = 0;
        p += 3;
    } else if (*p == 'h' || *p == 'l' || *p == 'w') {
        c.length = *p == 'h' ? 'h' : 'l';
        ++p;
    } else if (*p == 'j' || *p == 'z' || *p == 't' || *p == 'I' || *p == 'q') {
        c.length = 'L';  // all 64 bits wide on 64-bit Windows
        ++p;
    } else if (*p == 'L') {
        c.length = 'D';
        ++p;
    }
}

// Parses what follows a '%' up to and including the conversion character;
// false when the format ends inside the conversion.
bool ParseConversion(const char*& p, Arguments& args, Conversion& c) {
    while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) c.flags += *p++;
    ParseWidthAndPrecision(p, args, c);
    ParseLength(p, c);
    c.conversion = *p;
    if (c.conversion == '\0') return false;
    ++p;
    return true;
}

void AppendSigned(std::string& out, const Conversion& c, Arguments& args) {
    long long v;
    if (c.length == 'L') {
        v = va_arg(args.list, long long);
    } else if (c.length == 'l') {
        v = va_arg(args.list, long);
    } else {
        v = va_arg(args.list, int);
        if (c.length == 'h') v = static_cast<short>(v);
        if (c.length == 'H') v = static_cast<signed char>(v);
    }
    AppendOne(out, c.Prefix() + c.Precision() + "ll" + c.conversion, v);
}

void AppendUnsigned(std::string& out, const Conversion& c, Arguments& args) {
    unsigned long long v;
    if (c.length == 'L') {
        v = va_arg(args.list, unsigned long long);
    } else if (c.length == 'l') {
        v = va_arg(args.list, unsigned long);
    } else {
        v = va_arg(args.list, unsigned int);
        if (c.length == 'h') v = static_cast<unsigned short>(v);
        if (c.length == 'H') v = static_cast<unsigned char>(v);
    }
    AppendOne(out, c.Prefix() + c.Precision() + "ll" + c.conversion, v);
}

void AppendFloating(std::string& out, const Conversion& c, Arguments& args) {
    if (c.length == 'D') {
        AppendOne(out, c.Prefix() + c.Precision() + "L" + c.conversion, va_arg(args.list, long double));
    } else {
        AppendOne(out, c.Prefix() + c.Precision() + c.conversion, va_arg(args.list, double));
    }
}

void AppendCharacter(std::string& out, const Conversion& c, Arguments& args) {
    if (c.length == 'l' || c.conversion == 'C') {
        // wint_t is promoted to int when passed through "...".
        const std::wstring wide(1, static_cast<wchar_t>(va_arg(args.list, int)));
        AppendOne(out, c.Prefix() + "s", WideToUtf8(wide).c_str());
    } else {
        AppendOne(out, c.Prefix() + "c", va_arg(args.list, int));
    }
}

void AppendString(std::string& out, const Conversion& c, Arguments& args) {
    if (c.length == 'l' || c.conversion == 'S') {
        const wchar_t* wide = va_arg(args.list, const wchar_t*);
        const std::string utf8 = wide != nullptr ? WideToUtf8(wide) : std::string("(null)");
        AppendOne(out, c.Prefix() + c.Precision() + "s", utf8.c_str());
    } else {
        const char* narrow = va_arg(args.list, const char*);
        AppendOne(out, c.Prefix() + c.Precision() + "s", narrow != nullptr ? narrow : "(null)");
    }
}

// False for an unknown conversion, whose argument type is unknown too.
bool AppendConversion(std::string& out, const Conversion& c, Arguments& args) {
    switch (c.conversion) {
        case '%': out += '%'; return true;
        case 'd':
        case 'i': AppendSigned(out, c, args); return true;
        case 'u':
        case 'o':
        case 'x':
        case 'X': AppendUnsigned(out, c, args); return true;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A': AppendFloating(out, c, args); return true;
        case 'p': AppendOne(out, c.Prefix() + "p", va_arg(args.list, void*)); return true;
        case 'c':
        case 'C': AppendCharacter(out, c, args); return true;
        case 's':
        case 'S': AppendString(out, c, args); return true;
        case 'n':
            (void)va_arg(args.list, void*);  // nothing is stored through it
            return true;
        default: return false;
    }
}

// printf-style formatting whose wide arguments ("%ls", "%S", "%lc", "%C")
// become UTF-8 whatever the C library's locale is (the library's own
// conversion of them is locale-bound: Latin-1 bytes, dropped characters or a
// failed call). Narrow strings are copied as they are. Each conversion is
// handed to snprintf on its own, so numbers format exactly as printf does.
std::string FormatUtf8(const char* format, Arguments& args) {
    std::string out;
    const char* p = format;
    while (*p != '\0' && out.size() <= kMaxFormatted) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* const specStart = p++;
        Conversion conversion;
        // A format cut inside a conversion, or an unknown conversion: the
        // rest of the format is kept as text.
        if (!ParseConversion(p, args, conversion) || !AppendConversion(out, conversion, args)) {
            out.append(specStart);
            break;
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
    Arguments args;
    va_start(args.list, format);
    std::string text = FormatUtf8(format, args);
    va_end(args.list);
    // As a 1024-byte buffer with truncation would: at most 1023 bytes, cut.
    if (text.size() > kMaxFormatted) text.resize(kMaxFormatted);
    LogLine(text);
}

}  // namespace vr

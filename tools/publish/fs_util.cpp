#include "fs_util.h"

#include <atomic>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vr::publish {
namespace {

// Strict UTF-8 check: no overlong forms, no surrogates, nothing past U+10FFFF.
bool DecodeOne(const std::string& s, size_t& i, uint32_t& cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    int extra;
    uint32_t min;
    if (c < 0x80) {
        cp = c;
        ++i;
        return true;
    }
    if ((c & 0xE0) == 0xC0) {
        cp = c & 0x1F;
        extra = 1;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        cp = c & 0x0F;
        extra = 2;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        cp = c & 0x07;
        extra = 3;
        min = 0x10000;
    } else return false;
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= s.size() || (b(i + k) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
    return true;
}

#ifdef _WIN32
std::wstring Widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// Lone surrogates make a name that UTF-8 cannot carry.
bool Narrow(const std::wstring& w, std::string& out) {
    out.clear();
    if (w.empty()) return true;
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) return false;
    out.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
    return true;
}

FileInfo StatWin(const fs::path& path) {
    FileInfo info;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return info;
    info.exists = true;
    info.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    info.isDir = !info.isLink && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.isFile = !info.isLink && !info.isDir && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                               data.ftLastWriteTime.dwLowDateTime);
    info.mtimeNs = (ticks - 116444736000000000LL) * 100;
    return info;
}
#else
FileInfo FromStat(const struct stat& st) {
    FileInfo info;
    info.exists = true;
    info.isLink = S_ISLNK(st.st_mode);
    info.isDir = S_ISDIR(st.st_mode);
    info.isFile = S_ISREG(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    info.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return info;
}
#endif

}  // namespace

bool IsValidUtf8(const std::string& s) {
    size_t i = 0;
    uint32_t cp;
    while (i < s.size()) {
        if (!DecodeOne(s, i, cp)) return false;
    }
    return true;
}

fs::path PathFromUtf8(const std::string& utf8) {
#ifdef _WIN32
    return fs::path(Widen(utf8));
#else
    return fs::path(utf8);
#endif
}

bool Utf8FromPath(const fs::path& path, std::string& utf8) {
#ifdef _WIN32
    return Narrow(path.native(), utf8);
#else
    utf8 = path.native();
    return IsValidUtf8(utf8);
#endif
}

std::string Printable(const fs::path& path) {
    std::string s;
#ifdef _WIN32
    if (!Narrow(path.native(), s)) {
        s.clear();
        for (wchar_t c : path.native()) {
            if (c < 0x80) s += static_cast<char>(c);
            else {
                char buf[16];
                std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
                s += buf;
            }
        }
        return s;
    }
    const std::string raw = s;
#else
    const std::string raw = path.native();
#endif
    // Bytes outside valid UTF-8 and control characters are shown escaped, so a
    // message can be read on any terminal and names what is wrong.
    s.clear();
    size_t i = 0;
    while (i < raw.size()) {
        const size_t start = i;
        uint32_t cp;
        if (DecodeOne(raw, i, cp) && cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0)) {
            s.append(raw, start, i - start);
            continue;
        }
        if (i == start) i = start + 1;
        for (size_t k = start; k < i; ++k) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(raw[k]));
            s += buf;
        }
    }
    return s;
}

FileInfo StatNoFollow(const fs::path& path) {
#ifdef _WIN32
    return StatWin(path);
#else
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return {};
    return FromStat(st);
#endif
}

FileInfo StatFollow(const fs::path& path) {
#ifdef _WIN32
    return StatWin(path);
#else
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {};
    return FromStat(st);
#endif
}

int64_t UnixSeconds(int64_t ns) {
    int64_t s = ns / 1000000000LL;
    if (ns % 1000000000LL < 0) --s;
    return s;
}

std::FILE* OpenFile(const fs::path& path, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wmode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

bool ReplaceAtomically(const fs::path& from, const fs::path& to, std::string& error) {
#ifdef _WIN32
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error =
        "cannot rename " + Printable(from) + " to " + Printable(to) + " (error " + std::to_string(GetLastError()) + ")";
    return false;
#else
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    error = "cannot rename " + Printable(from) + " to " + Printable(to) + ": " + std::strerror(errno);
    return false;
#endif
}

fs::path TempNameFor(const fs::path& path) {
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    fs::path temp = path;
    temp += PathFromUtf8("." + std::to_string(pid) + "-" + std::to_string(counter++) + kTempSuffix);
    return temp;
}

bool WriteFileAtomic(const fs::path& path, const std::string& bytes, std::string& error) {
    const fs::path temp = TempNameFor(path);
    std::FILE* f = OpenFile(temp, "wb");
    if (!f) {
        error = "cannot create " + Printable(temp) + ": " + std::strerror(errno);
        return false;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        error = "cannot write " + Printable(temp);
        std::error_code ec;
        fs::remove(temp, ec);
        return false;
    }
    if (!ReplaceAtomically(temp, path, error)) {
        std::error_code ec;
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

bool ReadWholeFile(const fs::path& path, std::string& bytes) {
    bytes.clear();
    std::FILE* f = OpenFile(path, "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

}  // namespace vr::publish

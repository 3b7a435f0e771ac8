#include "patcher/list_rules.h"

namespace vr {
namespace {

std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool IsPortDigit(const std::string& tail) {
    if (tail.size() == 1) return tail[0] >= '1' && tail[0] <= '9';
    // U+00B9, U+00B2, U+00B3 in UTF-8.
    return tail == "\xC2\xB9" || tail == "\xC2\xB2" || tail == "\xC2\xB3";
}

}  // namespace

bool ParseListNumber(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

bool ParseLauncherLine(const std::string& rest, std::string& sha256, int64_t& size) {
    std::string line = rest;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.size() < 66 || line[64] != ' ') return false;
    for (size_t i = 0; i < 64; ++i) {
        const char c = line[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    int64_t n = 0;
    if (!ParseListNumber(line.substr(65), n)) return false;
    sha256 = line.substr(0, 64);
    size = n;
    return true;
}

bool IsDeviceName(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    base = UpperAscii(base);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
        return true;
    return base.size() > 3 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           IsPortDigit(base.substr(3));
}

bool IsSafeListPath(const std::string& path, bool allowTrailingSlash) {
    if (path.empty()) return false;
    std::string p = path;
    for (char& ch : p) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '/') ch = '\\';
        // A colon is a drive letter or an alternate data stream.
        if (c < 0x20 || c == 0x7F || c == ':') return false;
    }
    if (p.front() == '\\') return false;
    if (allowTrailingSlash && p.back() == '\\') p.pop_back();
    size_t start = 0;
    for (;;) {
        const size_t end = p.find('\\', start);
        const std::string part = p.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // Win32 drops trailing dots and blanks from a component, so "..." or
        // ".. " would still climb out; a name of only dots and blanks is
        // never a real file anyway.
        if (part.find_first_not_of(". ") == std::string::npos) return false;
        if (IsDeviceName(part)) return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

bool IsLauncherOwnName(const std::string& rootName) {
    std::string key = rootName;
    while (!key.empty() && (key.back() == ' ' || key.back() == '.')) key.pop_back();
    key = UpperAscii(key);
    return key == "VELTRUNE.INI" || key == "PATCHERSETTINGS.INI" || key == "VELTRUNE.LOG";
}

}  // namespace vr

#include "text/text.h"

#include <windows.h>

namespace vr {
namespace {

// Western European: the game's older settings files are written in it.
constexpr UINT kWindows1252 = 1252;

std::wstring MultiByteToWide(UINT codePage, const std::string& text) {
    if (text.empty()) return {};
    // Explicit lengths everywhere: the text may hold NUL bytes.
    const int inLen = static_cast<int>(text.size());
    const int outLen = MultiByteToWideChar(codePage, 0, text.data(), inLen, nullptr, 0);
    if (outLen <= 0) return {};
    std::wstring out(static_cast<size_t>(outLen), L'\0');
    if (MultiByteToWideChar(codePage, 0, text.data(), inLen, out.data(), outLen) != outLen) return {};
    return out;
}

template <typename S>
S TrimOf(const S& text) {
    auto isBlank = [](auto c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) { return MultiByteToWide(CP_UTF8, text); }

std::wstring Cp1252ToWide(const std::string& text) { return MultiByteToWide(kWindows1252, text); }

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int inLen = static_cast<int>(text.size());
    const int outLen = WideCharToMultiByte(CP_UTF8, 0, text.data(), inLen, nullptr, 0, nullptr, nullptr);
    if (outLen <= 0) return {};
    std::string out(static_cast<size_t>(outLen), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), inLen, out.data(), outLen, nullptr, nullptr) != outLen) return {};
    return out;
}

std::string TrimBlanks(const std::string& text) { return TrimOf(text); }
std::wstring TrimBlanks(const std::wstring& text) { return TrimOf(text); }

}  // namespace vr

#pragma once
// The only conversions between UTF-8 (narrow) and UTF-16 (wide) text, the
// Windows-1252 reader of the game's settings file, and the blank trim.
#include <string>

namespace vr {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
std::wstring Cp1252ToWide(const std::string& text);

// Removes leading and trailing space, tab, CR and LF; nothing else.
std::string TrimBlanks(const std::string& text);
std::wstring TrimBlanks(const std::wstring& text);

}  // namespace vr

#pragma once
// Small helpers over the INI profile functions, shared by the configuration
// and the launcher's preferences.
#include <cstdint>
#include <string>
#include <vector>

namespace vr {

// "1", "true" or "True" is true; any other present value is false; an absent
// key (or file) keeps `current`.
bool ReadIniBool(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key, bool current);
// Writes the value as decimal text, creating the file and section as needed.
// False when the platform refused the write.
bool WriteIniInt(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key, int32_t value);
// Splits at '|' and ',', trims blanks and drops empty items.
std::vector<std::wstring> SplitList(const std::wstring& text);

}  // namespace vr

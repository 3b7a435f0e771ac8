#pragma once
#include <string>

namespace vr {

// Joins a folder and a name with exactly one backslash (none added when the
// folder is empty or already ends in one).
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

}  // namespace vr

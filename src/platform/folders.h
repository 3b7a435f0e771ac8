#pragma once
// Where the launcher and the current user's data live on this machine.
#include <string>

namespace vr {

// The executable's full path, whatever its length.
std::wstring GetExePath();

// The executable's folder without a trailing backslash (empty when the
// module path has no backslash). Read into a MAX_PATH buffer, so a longer
// path is the platform's truncated one.
std::wstring GetExeDirectory();

// The current user's local and roaming application-data folders, without a
// trailing backslash; empty when the shell cannot name them.
std::wstring LocalAppDataFolder();
std::wstring RoamingAppDataFolder();

}  // namespace vr

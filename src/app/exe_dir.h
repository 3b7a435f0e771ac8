#pragma once
#include <string>

namespace vr {

// The executable's folder without a trailing backslash (empty when the
// module path has no backslash). Read into a MAX_PATH buffer, so a longer
// path is the platform's truncated one.
std::wstring GetExeDirectory();

}  // namespace vr

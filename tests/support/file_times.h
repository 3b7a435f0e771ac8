#pragma once
// A file's last-write time in the list's unit (Unix seconds), read and set.
#include <cstdint>
#include <string>

namespace vr::test {

// Whole seconds; -1 when the file cannot be read.
int64_t UnixMtime(const std::wstring& path);
// Records a test failure when the time cannot be set: a test that meant to
// make a file stale must not go on with a current one.
void SetUnixMtime(const std::wstring& path, int64_t unix);

}  // namespace vr::test

#include "support/file_times.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace vr::test {
namespace {

constexpr int64_t kEpochDelta = 11644473600LL;  // 1601 to 1970 in seconds
constexpr uint64_t kTicksPerSecond = 10000000ULL;

}  // namespace

int64_t UnixMtime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return -1;
    const uint64_t t =
        (static_cast<uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) | d.ftLastWriteTime.dwLowDateTime;
    return static_cast<int64_t>(t / kTicksPerSecond) - kEpochDelta;
}

void SetUnixMtime(const std::wstring& path, int64_t unix) {
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot open to set its time: " << std::string(path.begin(), path.end());
        return;
    }
    const uint64_t t = static_cast<uint64_t>(unix + kEpochDelta) * kTicksPerSecond;
    const FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);
}

}  // namespace vr::test

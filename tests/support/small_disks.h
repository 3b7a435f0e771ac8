#pragma once
// The tiny file system of tests/support/small_disks.sh, as a Windows path
// (the Z: drive), when the ctest fixture could mount it: `full` holds 4 MiB.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "text/text.h"

namespace vr::test {

struct SmallDisks {
    SmallDisks() {
        const char* dir = std::getenv("VR_SMALL_DISKS");
        if (!dir || !*dir) return;
        std::wstring base = L"Z:" + Utf8ToWide(dir);
        for (wchar_t& c : base) {
            if (c == L'/') c = L'\\';
        }
        if (GetFileAttributesW((base + L"\\mounted").c_str()) == INVALID_FILE_ATTRIBUTES) return;
        full = base + L"\\full";
    }
    bool Available() const { return !full.empty(); }

    std::wstring full;
};

// Takes `bytes` of a small disk with one file, so what follows finds it
// (nearly) full. False when the file could not be written.
inline bool FillDisk(const std::wstring& path, size_t bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const std::string block(bytes, 'f');
    DWORD written = 0;
    const BOOL ok = WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == block.size();
}

#define VR_REQUIRE_SMALL_DISKS(disks) \
    if (!(disks).Available()) GTEST_SKIP() << "no small disks: run through ctest as root (small_disks fixture)"

}  // namespace vr::test

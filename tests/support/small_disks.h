#pragma once
// The tiny file systems of tests/support/small_disks.sh, as Windows paths
// (the Z: drive), when the ctest fixture could mount them: `full` holds
// 4 MiB, `readonly` takes no new file.
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
        readonly = base + L"\\readonly";
    }
    bool Available() const { return !full.empty(); }

    std::wstring full;
    std::wstring readonly;
};

#define VR_REQUIRE_SMALL_DISKS(disks) \
    if (!(disks).Available()) GTEST_SKIP() << "no small disks: run through ctest as root (small_disks fixture)"

}  // namespace vr::test

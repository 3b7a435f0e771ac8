#pragma once
// Where the build put the fake game client / updater. Only for test targets
// that define VR_FAKE_PROCESS_EXE (see their tests.cmake).
#include <algorithm>
#include <string>

namespace vr::test {

// The build hands us a Unix path; Wine maps the Unix root to drive Z:.
inline std::wstring FakeProcessExe() {
    const std::string unixPath = VR_FAKE_PROCESS_EXE;  // ASCII build path
    std::wstring path(unixPath.begin(), unixPath.end());
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return L"Z:" + path;
}

}  // namespace vr::test

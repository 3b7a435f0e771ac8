#include "app/exe_dir.h"

#include <windows.h>

namespace vr {

std::wstring GetExeDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, n < MAX_PATH ? n : MAX_PATH);
    const size_t slash = full.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash);
}

}  // namespace vr

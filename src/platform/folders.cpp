#include "platform/folders.h"

#include <windows.h>
#include <shlobj.h>

namespace vr {
namespace {

// Reads the module path into a buffer of at most maxChars characters; a
// longer path comes back as the platform's truncated copy.
std::wstring ModulePath(DWORD maxChars) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(path.size());
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), capacity);
        if (n < capacity || capacity >= maxChars) {
            path.resize(n < capacity ? n : capacity);
            return path;
        }
        path.resize(capacity * 2 < maxChars ? capacity * 2 : maxChars);
    }
}

std::wstring ShellFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return {};
    return buffer;
}

}  // namespace

std::wstring GetExePath() { return ModulePath(MAXDWORD); }

std::wstring GetExeDirectory() {
    const std::wstring full = ModulePath(MAX_PATH);
    const size_t slash = full.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash);
}

std::wstring LocalAppDataFolder() { return ShellFolder(CSIDL_LOCAL_APPDATA); }
std::wstring RoamingAppDataFolder() { return ShellFolder(CSIDL_APPDATA); }

}  // namespace vr

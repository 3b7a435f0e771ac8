#include "platform/registry_key.h"

#include <vector>

namespace vr {

RegistryKey::RegistryKey(HKEY root, const std::wstring& path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, access, &key) == ERROR_SUCCESS) key_.Reset(key);
}

std::optional<std::wstring> RegistryKey::ReadText(const std::wstring& name) const {
    if (!key_) return std::nullopt;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key_.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    if (type == REG_DWORD) {
        DWORD value = 0;
        size = sizeof value;
        if (RegQueryValueExW(key_.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD)
            return std::nullopt;
        return std::to_wstring(value);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    // Stored strings need not be terminated; leave room for one terminator.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key_.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer.data());
}

}  // namespace vr

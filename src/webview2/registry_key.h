#pragma once
// Read-only registry key guard: the key is closed on every path.
#include <windows.h>

#include <optional>
#include <string>

namespace vr {

class RegistryKey {
public:
    RegistryKey(HKEY root, const std::wstring& path, REGSAM access);
    ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool IsOpen() const { return key_ != nullptr; }
    // A REG_SZ / REG_EXPAND_SZ value as stored, or a REG_DWORD as decimal
    // text; nothing when the value is missing or of another type.
    std::optional<std::wstring> ReadText(const std::wstring& name) const;

private:
    HKEY key_ = nullptr;
};

}  // namespace vr

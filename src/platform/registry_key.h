#pragma once
// Read-only registry key: opened by the constructor, closed on every path
// by its guard (the shape of platform/handles.h).
#include <windows.h>

#include <optional>
#include <string>

#include "platform/handles.h"

namespace vr {

struct RegistryKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type key) { return key != nullptr; }
    static void Close(Type key) { RegCloseKey(key); }
};

class RegistryKey {
public:
    RegistryKey(HKEY root, const std::wstring& path, REGSAM access);
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool IsOpen() const { return static_cast<bool>(key_); }
    // A REG_SZ / REG_EXPAND_SZ value as stored, or a REG_DWORD as decimal
    // text; nothing when the value is missing or of another type.
    std::optional<std::wstring> ReadText(const std::wstring& name) const;

private:
    ScopedHandle<RegistryKeyTraits> key_;
};

}  // namespace vr

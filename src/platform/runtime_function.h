#pragma once
// Functions newer than the oldest Windows we support, looked up at run time
// so that the executable still starts where they are missing; the caller
// then falls back to older behaviour.
#include <windows.h>

namespace vr {

// The export `name` of an already loaded module (or, when `load` is set, of
// the module loaded on demand), typed as Fn; null when either is missing.
template <class Fn>
Fn LookupFunction(const wchar_t* module, const char* name, bool load = false) {
    HMODULE handle = GetModuleHandleW(module);
    if (!handle && load) handle = LoadLibraryW(module);
    if (!handle) return nullptr;
    // The intermediate void* keeps GCC's -Wcast-function-type quiet.
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

// The same for a module handle the caller already holds.
template <class Fn>
Fn LookupFunction(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace vr

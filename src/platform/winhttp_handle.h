#pragma once
// The guard for WinHTTP's session, connection and request handles, in the
// shape of the others (platform/handles.h).
#include <windows.h>
#include <winhttp.h>

#include "platform/handles.h"

namespace vr {

struct WinHttpHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { WinHttpCloseHandle(h); }
};
using WinHttpHandle = ScopedHandle<WinHttpHandleTraits>;

}  // namespace vr

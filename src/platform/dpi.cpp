#include "platform/dpi.h"

#include "platform/runtime_function.h"

namespace vr {

bool MakePerMonitorDpiAware() {
    using Fn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    static const auto fn = LookupFunction<Fn>(L"user32.dll", "SetProcessDpiAwarenessContext");
    return fn && fn(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

// GetDpiForSystem/GetDpiForWindow exist from Windows 10 1607 on.
UINT SystemDpi() {
    using Fn = UINT(WINAPI*)();
    static const auto fn = LookupFunction<Fn>(L"user32.dll", "GetDpiForSystem");
    return fn ? fn() : kDefaultDpi;
}

UINT WindowDpi(HWND window) {
    using Fn = UINT(WINAPI*)(HWND);
    static const auto fn = LookupFunction<Fn>(L"user32.dll", "GetDpiForWindow");
    return fn ? fn(window) : kDefaultDpi;
}

int ScaleForDpi(int length, UINT dpi) { return MulDiv(length, static_cast<int>(dpi), kDefaultDpi); }

}  // namespace vr

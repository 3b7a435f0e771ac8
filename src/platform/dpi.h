#pragma once
// DPI: the process's awareness and the scale of the system and of a window.
// Every function degrades to 96 DPI (or does nothing) where the system lacks
// the call.
#include <windows.h>

namespace vr {

inline constexpr UINT kDefaultDpi = USER_DEFAULT_SCREEN_DPI;

// Per-monitor awareness version 2. The manifest normally sets it already, so
// the call usually changes nothing.
bool MakePerMonitorDpiAware();
UINT SystemDpi();
UINT WindowDpi(HWND window);
// A length at 96 DPI in device pixels at dpi: the one scaling rule of the
// window and the views in it, rounded half away from zero as MulDiv does.
int ScaleForDpi(int length, UINT dpi);

}  // namespace vr

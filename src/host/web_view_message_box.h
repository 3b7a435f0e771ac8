#pragma once
// The web views' message boxes go through here, so that tests can read the
// text and dismiss the box at once; by default this is MessageBoxW.
#include <windows.h>

namespace vr {

using MessageBoxFn = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
// Returns the previous function; nullptr restores MessageBoxW.
MessageBoxFn SetMessageBoxFunction(MessageBoxFn fn);

}  // namespace vr

#include "host/web_view_message_box.h"

namespace vr {
namespace {

int DefaultMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    return MessageBoxW(owner, text, caption, type);
}

MessageBoxFn g_messageBox = DefaultMessageBox;

}  // namespace

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    return g_messageBox(owner, text, caption, type);
}

MessageBoxFn SetMessageBoxFunction(MessageBoxFn fn) {
    MessageBoxFn previous = g_messageBox;
    g_messageBox = fn ? fn : DefaultMessageBox;
    return previous;
}

}  // namespace vr

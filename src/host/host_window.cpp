#include "host/host_window.h"

#include <dwmapi.h>

#include <memory>

#include "platform/dpi.h"
#include "platform/log.h"

namespace vr {
namespace {

constexpr wchar_t kClassName[] = L"VeltruneHostWindow";
constexpr COLORREF kBackground = RGB(18, 18, 26);
// No caption or sizing border, but a taskbar button whose system menu offers
// minimise.
constexpr DWORD kStyle = WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX;
// Declared by newer SDKs only; older systems ignore the attribute.
constexpr DWORD kCornerPreference = 33;  // DWMWA_WINDOW_CORNER_PREFERENCE
constexpr DWORD kRoundCorners = 2;       // DWMWCP_ROUND
constexpr int kIconResource = 1;

void RegisterWindowClass(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = 0;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = CreateSolidBrush(kBackground);
    wc.lpszClassName = kClassName;
    // Not checked: a second registration in the same process fails
    // harmlessly, and any other failure fails the window's creation.
    (void)RegisterClassExW(&wc);
}

// The window's size at the system DPI, centred on the primary work area.
RECT CentredPlacement() {
    const UINT dpi = SystemDpi();
    const int width = ScaleForDpi(kHostWidth, dpi);
    const int height = ScaleForDpi(kHostHeight, dpi);
    RECT work{};
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        work.right = GetSystemMetrics(SM_CXSCREEN);
        work.bottom = GetSystemMetrics(SM_CYSCREEN);
    }
    const int x = work.left + (work.right - work.left - width) / 2;
    const int y = work.top + (work.bottom - work.top - height) / 2;
    return RECT{x, y, x + width, y + height};
}

}  // namespace

bool HostWindow::Create(HostWindowOptions options) {
    viewOptions_ = std::move(options.view);
    RegisterWindowClass(options.instance, &HostWindow::WindowProc);

    const RECT placement = CentredPlacement();
    HWND window = CreateWindowExW(WS_EX_APPWINDOW, kClassName, options.title.c_str(), kStyle, placement.left,
                                  placement.top, placement.right - placement.left, placement.bottom - placement.top,
                                  nullptr, nullptr, options.instance, this);
    if (!window) {
        LogFormat("HostWindow: CreateWindowEx failed (err %lu)", GetLastError());
        return false;
    }
    const DWORD corners = kRoundCorners;
    // Ignored: systems before Windows 11 keep square corners.
    (void)DwmSetWindowAttribute(window, kCornerPreference, &corners, sizeof corners);
    // Both return the previous visibility or paint state, not a failure.
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    return true;
}

LRESULT CALLBACK HostWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    HostWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        self = static_cast<HostWindow*>(create->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_ = window;
    } else {
        self = reinterpret_cast<HostWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    return self->Handle(message, wParam, lParam);
}

LRESULT HostWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            if (!webView_.Create(window_, viewOptions_) && !PostMessageW(window_, WM_CLOSE, 0, 0))
                LogFormat("HostWindow: could not close after the web view failed (err %lu)", GetLastError());
            return 0;
        }
        case WM_SIZE: webView_.ResizeToClient(); return 0;
        case WM_DPICHANGED: {
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            if (!SetWindowPos(window_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                              suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE))
                LogFormat("HostWindow: resize for the new DPI failed (err %lu)", GetLastError());
            // The page's area is in CSS pixels and does not change when only the
            // DPI does, so the page sends nothing new: the host re-places the
            // news view from the last area it was given, at the new scale.
            if (newsArea_.known) {
                LogFormat("HostWindow: DPI changed to %u; news view re-placed", static_cast<unsigned>(LOWORD(wParam)));
                PlaceNews(LOWORD(wParam));
            }
            return 0;
        }
        case WM_ERASEBKGND: return 1;  // the web view covers the client area
        case WM_CLOSE: DestroyOwnWindow(); return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_APP_POST_JSON: {
            std::unique_ptr<std::wstring> json(reinterpret_cast<std::wstring*>(wParam));
            if (json) webView_.PostJson(*json);
            return 0;
        }
        case WM_APP_MINIMIZE: ShowWindow(window_, SW_MINIMIZE); return 0;
        case WM_APP_DRAG:
            // The system's own move loop runs while the button is still held.
            // Ignored: without a capture to release there is nothing to undo.
            (void)ReleaseCapture();
            SendMessageW(window_, WM_NCLBUTTONDOWN, HTCAPTION, 0);
            return 0;
        case WM_APP_CLOSE: DestroyOwnWindow(); return 0;
        case WM_APP_NEWS_NAVIGATE: {
            std::unique_ptr<std::wstring> url(reinterpret_cast<std::wstring*>(wParam));
            if (url) webView_.NavigateNews(*url);
            return 0;
        }
        default: return DefWindowProcW(window_, message, wParam, lParam);
    }
}

void HostWindow::DestroyOwnWindow() {
    if (!DestroyWindow(window_)) LogFormat("HostWindow: DestroyWindow failed (err %lu)", GetLastError());
}

void HostWindow::PostString(UINT message, const std::wstring& text) {
    // Before Create there is no window, and a post to no window would become
    // a message of the calling thread, carrying a string nobody frees.
    if (!window_) return;
    auto copy = std::make_unique<std::wstring>(text);
    // Ownership passes to the UI thread only if the post is accepted.
    if (PostMessageW(window_, message, reinterpret_cast<WPARAM>(copy.get()), 0)) copy.release();
}

void HostWindow::PostToPage(const std::wstring& json) { PostString(WM_APP_POST_JSON, json); }
void HostWindow::NavigateNews(const std::wstring& url) { PostString(WM_APP_NEWS_NAVIGATE, url); }
// The posts below fail only once the window is gone: the request is then
// dropped, as every posted host action is.
void HostWindow::Minimize() {
    if (window_) PostMessageW(window_, WM_APP_MINIMIZE, 0, 0);
}
void HostWindow::BeginDrag() {
    if (window_) PostMessageW(window_, WM_APP_DRAG, 0, 0);
}
void HostWindow::Close() {
    if (window_) PostMessageW(window_, WM_APP_CLOSE, 0, 0);
}

void HostWindow::SetNewsRect(int32_t x, int32_t y, int32_t width, int32_t height, bool visible) {
    newsArea_ = NewsArea{x, y, width, height, visible, true};
    PlaceNews(WindowDpi(window_));
}

void HostWindow::PlaceNews(UINT dpi) {
    const NewsArea& a = newsArea_;
    // Edges, not sizes, are scaled, so neighbouring areas stay flush.
    const RECT rect{ScaleForDpi(a.x, dpi), ScaleForDpi(a.y, dpi), ScaleForDpi(a.x + a.width, dpi),
                    ScaleForDpi(a.y + a.height, dpi)};
    webView_.SetNewsPlacement(rect, a.visible);
}

}  // namespace vr

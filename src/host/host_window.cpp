#include "host/host_window.h"

#include <dwmapi.h>

#include <memory>

#include "app/log.h"

namespace vr {
namespace {

constexpr wchar_t kClassName[] = L"VeltruneHostWindow";
constexpr COLORREF kBackground = RGB(18, 18, 26);
// WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX: no caption or
// sizing border, but a taskbar button whose system menu offers minimise.
constexpr DWORD kStyle = 0x820A0000;
// Declared by newer SDKs only; older systems ignore the attribute.
constexpr DWORD kCornerPreference = 33;
constexpr DWORD kRoundCorners = 2;

// GetDpiForSystem/GetDpiForWindow exist from Windows 10 1607 on; looked up
// so that the executable still starts (at 96 DPI) where they are missing.
UINT SystemDpi() {
    using Fn = UINT(WINAPI*)();
    static const auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForSystem")));
    return fn ? fn() : 96;
}

UINT WindowDpi(HWND window) {
    using Fn = UINT(WINAPI*)(HWND);
    static const auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    return fn ? fn(window) : 96;
}

}  // namespace

bool HostWindow::Create(HINSTANCE instance, const std::wstring& title, const std::wstring& webDir,
                        const std::wstring& userDataDir, const std::wstring& startUrl,
                        const std::wstring& assetsHost, const std::wstring& assetsDir, const std::wstring& newsUrl,
                        const std::wstring& newsSelector, MessageFn onMessage) {
    webDir_ = webDir;
    userDataDir_ = userDataDir;
    startUrl_ = startUrl;
    assetsHost_ = assetsHost;
    assetsDir_ = assetsDir;
    newsUrl_ = newsUrl;
    newsSelector_ = newsSelector;
    onMessage_ = std::move(onMessage);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = 0;
    wc.lpfnWndProc = &HostWindow::WindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = CreateSolidBrush(kBackground);
    wc.lpszClassName = kClassName;
    // A second registration in the same process fails harmlessly.
    RegisterClassExW(&wc);

    const UINT dpi = SystemDpi();
    const int width = MulDiv(kHostWidth, static_cast<int>(dpi), 96);
    const int height = MulDiv(kHostHeight, static_cast<int>(dpi), 96);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + (work.right - work.left - width) / 2;
    const int y = work.top + (work.bottom - work.top - height) / 2;

    HWND window = CreateWindowExW(WS_EX_APPWINDOW, kClassName, title.c_str(), kStyle, x, y, width, height, nullptr,
                                  nullptr, instance, this);
    if (!window) {
        LogFormat("HostWindow: CreateWindowEx failed (err %lu)", GetLastError());
        return false;
    }
    const DWORD corners = kRoundCorners;
    DwmSetWindowAttribute(window, kCornerPreference, &corners, sizeof corners);
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
        MessageFn copy = onMessage_;
        if (!webView_.Create(window_, userDataDir_, webDir_, startUrl_, assetsHost_, assetsDir_, newsUrl_,
                             newsSelector_, std::move(copy))) {
            PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        return 0;
    }
    case WM_SIZE:
        webView_.ResizeToClient();
        return 0;
    case WM_DPICHANGED: {
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        // The page's area is in CSS pixels and does not change when only the
        // DPI does, so the page sends nothing new: the host re-places the
        // news view from the last area it was given, at the new scale.
        if (newsArea_.known) {
            LogFormat("HostWindow: DPI changed to %u; news view re-placed", static_cast<unsigned>(LOWORD(wParam)));
            PlaceNews(LOWORD(wParam));
        }
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;  // the web view covers the client area
    case WM_CLOSE:
        DestroyWindow(window_);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_APP_POST_JSON: {
        std::unique_ptr<std::wstring> json(reinterpret_cast<std::wstring*>(wParam));
        if (json) webView_.PostJson(*json);
        return 0;
    }
    case WM_APP_MINIMIZE:
        ShowWindow(window_, SW_MINIMIZE);
        return 0;
    case WM_APP_DRAG:
        // The system's own move loop runs while the button is still held.
        ReleaseCapture();
        SendMessageW(window_, WM_NCLBUTTONDOWN, HTCAPTION, 0);
        return 0;
    case WM_APP_CLOSE:
        DestroyWindow(window_);
        return 0;
    case WM_APP_NEWS_NAVIGATE: {
        std::unique_ptr<std::wstring> url(reinterpret_cast<std::wstring*>(wParam));
        if (url) webView_.NavigateNews(*url);
        return 0;
    }
    default:
        return DefWindowProcW(window_, message, wParam, lParam);
    }
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
    const double scale = dpi / 96.0;
    // Sums in integers first, then each product truncated toward zero.
    RECT rect;
    rect.left = static_cast<LONG>(a.x * scale);
    rect.top = static_cast<LONG>(a.y * scale);
    rect.right = static_cast<LONG>((a.x + a.width) * scale);
    rect.bottom = static_cast<LONG>((a.y + a.height) * scale);
    webView_.SetNewsPlacement(rect, a.visible);
}

}  // namespace vr

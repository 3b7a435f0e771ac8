#pragma once
// The program's only top-level window: a borderless, fixed-size popup that
// the main web view covers entirely. It carries out the host actions, turning
// calls from other threads into posted messages so that every browser call
// happens on the UI thread.
#include <windows.h>

#include <string>

#include "host/host_actions.h"
#include "host/web_view.h"

namespace vr {

// Private messages, posted to the host window only. The string payloads are
// heap copies that the window procedure owns and frees.
inline constexpr UINT WM_APP_POST_JSON = WM_APP + 1;
inline constexpr UINT WM_APP_MINIMIZE = WM_APP + 2;
inline constexpr UINT WM_APP_DRAG = WM_APP + 3;
inline constexpr UINT WM_APP_CLOSE = WM_APP + 4;
inline constexpr UINT WM_APP_NEWS_NAVIGATE = WM_APP + 5;

// Size at 96 DPI; the popup has no frame, so this is the client size too.
inline constexpr int kHostWidth = 1224;
inline constexpr int kHostHeight = 772;

struct HostWindowOptions {
    HINSTANCE instance = nullptr;  // owns the window class and icon resource 1
    std::wstring title;
    WebViewOptions view;  // handed to the main web view on WM_CREATE
};

class HostWindow : public IHostActions {
public:
    HostWindow() = default;
    ~HostWindow() override = default;
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    // True when the native window exists; the web view then starts
    // asynchronously.
    bool Create(HostWindowOptions options);

    void PostToPage(const std::wstring& json) override;
    void Minimize() override;
    void BeginDrag() override;
    void Close() override;
    void SetNewsRect(int32_t x, int32_t y, int32_t width, int32_t height, bool visible) override;
    void NavigateNews(const std::wstring& url) override;

    HWND Handle() const { return window_; }
    WebView& View() { return webView_; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void PostString(UINT message, const std::wstring& text);
    void DestroyOwnWindow();
    // Scales the page's last news area to device pixels at dpi.
    void PlaceNews(UINT dpi);

    // The news area as the page last reported it, in CSS pixels.
    struct NewsArea {
        int32_t x = 0, y = 0, width = 0, height = 0;
        bool visible = false;
        bool known = false;
    };

    HWND window_ = nullptr;
    WebView webView_;
    WebViewOptions viewOptions_;
    NewsArea newsArea_;
};

}  // namespace vr

#pragma once
// The two browser views inside the host window: the main UI view, which
// shows the launcher page and carries every page message, and the news view,
// which floats over the area the page reserves and shows the news site
// reduced to one region. Everything here runs on the UI thread.
#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "webview2/com_ptr.h"
#include "webview2/webview2.h"

namespace vr {

// Serves the local web folder to the main view (a reserved top-level domain,
// so it can never be a real site).
inline constexpr wchar_t kUiHostName[] = L"veltrune-ui.example";

// Scheme, "://" and host (with port) of a URL; the whole text when it has no
// "://" followed by something.
std::wstring OriginOf(const std::wstring& url);
// True when source is the origin itself or a path below it.
bool IsFromOrigin(const std::wstring& source, const std::wstring& origin);

// One page message, as JSON text; called on the UI thread.
using MessageFn = std::function<void(const std::wstring&)>;

// What the two views show and where their files come from.
struct WebViewOptions {
    std::wstring userDataDir;  // browser profile folder of both views
    std::wstring webDir;       // served under kUiHostName
    std::wstring startUrl;     // the launcher page; its origin may post messages
    std::wstring assetsHost;   // with assetsDir: a second folder mapping
    std::wstring assetsDir;
    std::wstring newsUrl;       // the news view's first page
    std::wstring newsSelector;  // the region the isolation script keeps
    MessageFn onMessage;        // receives every trusted page message
};

class WebView {
public:
    // What a test may replace; every member starts as the shipped behaviour.
    struct Seams {
        Seams();
        // The runtime-failure message box, so a test can read the text and
        // dismiss the box at once: MessageBoxW.
        std::function<int(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type)> messageBox;
    };

    explicit WebView(Seams seams = {}) : seams_(std::move(seams)) {}
    ~WebView();
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // Starts the browser environment for the host window; the views arrive
    // later through callbacks. False (after a message box) when no runtime
    // could be started; the host window then closes itself.
    bool Create(HWND window, WebViewOptions options);

    // WM_SIZE: the main view covers the whole client area (once it exists).
    void ResizeToClient();
    // WM_APP_POST_JSON: hands one JSON value to the page; dropped, not
    // queued, while the main view does not exist.
    void PostJson(const std::wstring& json);
    // SetNewsRect, in device pixels: remembered, and applied at once when
    // the news view exists (or as soon as it is ready).
    void SetNewsPlacement(const RECT& rect, bool visible);
    // WM_APP_NEWS_NAVIGATE: ignored when empty, or when it is the current
    // news URL and the view still shows it (not a page the player reached by
    // a link inside the view); otherwise it becomes the current one and is
    // shown.
    void NavigateNews(const std::wstring& url);

    bool HasMainView() const { return static_cast<bool>(mainView_); }
    bool HasNewsView() const { return static_cast<bool>(newsView_); }
    const std::wstring& NewsUrl() const { return newsUrl_; }

private:
    HRESULT OnEnvironmentCreated(HRESULT result, ICoreWebView2Environment* environment);
    HRESULT OnMainControllerCreated(HRESULT result, ICoreWebView2Controller* controller);
    void OnControllerReady(ICoreWebView2Controller* controller);
    HRESULT OnWebMessage(ICoreWebView2WebMessageReceivedEventArgs* args);
    void CreateNewsView();
    HRESULT OnNewsControllerCreated(HRESULT result, ICoreWebView2Controller* controller);
    void OnNewsControllerReady(ICoreWebView2Controller* controller);
    void FindNewsWindow();
    void WatchNewsNavigations();
    void RegisterIsolationScript();
    void StartNewsNavigation();
    void RaiseNewsWindow();
    bool NewsViewShowsOtherPage() const;

    ComPtr<ICoreWebView2Environment> environment_;
    ComPtr<ICoreWebView2Controller> mainController_;
    ComPtr<ICoreWebView2> mainView_;
    ComPtr<ICoreWebView2Controller> newsController_;
    ComPtr<ICoreWebView2> newsView_;
    HWND window_ = nullptr;
    WebViewOptions options_;
    std::wstring trustedOrigin_;
    std::wstring newsUrl_;  // the current one; starts as options_.newsUrl
    RECT newsRect_{};
    bool newsRectKnown_ = false;
    bool newsVisible_ = false;
    HWND newsWindow_ = nullptr;
    bool environmentFailureShown_ = false;
    bool mainControllerAnswered_ = false;
    bool newsControllerAnswered_ = false;
    std::vector<HWND> childWindowsBefore_;
    Seams seams_;
};

}  // namespace vr

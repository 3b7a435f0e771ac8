// The news view: created once the main view runs, kept to the area the page
// reports, isolated to the configured part of the news site.
#include <vector>

#include "host/news_isolation_script.h"
#include "host/web_view.h"
#include "host/web_view_callback.h"
#include "platform/com.h"
#include "platform/log.h"
#include "text/text.h"
#include "webview2/iids.h"

namespace vr {
namespace {

const wchar_t kSelectorPlaceholder[] = L"%SELECTOR%";

// The host's child windows, top of the z-order first.
std::vector<HWND> ChildWindows(HWND parent) {
    std::vector<HWND> windows;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        windows.push_back(child);
    return windows;
}

}  // namespace

void WebView::CreateNewsView() {
    // The runtime does not say which window is the new view's; it is the one
    // that was not there before.
    childWindowsBefore_ = ChildWindows(window_);
    auto handler =
        MakeCallback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>(
            IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
            [this](HRESULT hr, ICoreWebView2Controller* controller) {
                return OnNewsControllerCreated(hr, controller);
            });
    const HRESULT hr = environment_->CreateCoreWebView2Controller(window_, handler.get());
    if (FAILED(hr)) OnNewsControllerCreated(hr, nullptr);
}

HRESULT WebView::OnNewsControllerCreated(HRESULT result, ICoreWebView2Controller* controller) {
    if (newsControllerAnswered_) return S_OK;
    newsControllerAnswered_ = true;
    if (FAILED(result) || !controller) {
        LogFormat("WebView: news controller failed 0x%08lx", Code(result));
        return S_OK;
    }
    OnNewsControllerReady(controller);
    return S_OK;
}

void WebView::OnNewsControllerReady(ICoreWebView2Controller* controller) {
    newsController_ = ComPtr<ICoreWebView2Controller>::Retain(controller);
    if (FAILED(newsController_->get_CoreWebView2(newsView_.Put()))) newsView_.Reset();
    if (!newsView_) return;

    FindNewsWindow();
    TurnOffBrowserChrome(newsView_.get());

    // Hidden until the page has reported where the news area is.
    if (newsRectKnown_ && newsVisible_) {
        LogIfFailed(newsController_->put_IsVisible(TRUE), "showing the news view");
        LogIfFailed(newsController_->put_Bounds(newsRect_), "placing the news view");
    } else {
        LogIfFailed(newsController_->put_IsVisible(FALSE), "hiding the news view");
    }

    WatchNewsNavigations();

    if (options_.newsSelector.empty()) {
        LogLine("WebView: no content selector configured; news pages shown unmodified");
        StartNewsNavigation();
        return;
    }
    RegisterIsolationScript();
}

void WebView::FindNewsWindow() {
    newsWindow_ = nullptr;
    for (HWND child : ChildWindows(window_)) {
        bool seen = false;
        for (HWND before : childWindowsBefore_) seen = seen || before == child;
        if (!seen) {
            newsWindow_ = child;
            break;
        }
    }
    if (newsWindow_) RaiseNewsWindow();
    else LogLine("WebView: could not identify the news view window; it may stay hidden behind the UI");
}

void WebView::WatchNewsNavigations() {
    auto completed = MakeCallback<ICoreWebView2NavigationCompletedEventHandler, ICoreWebView2*,
                                  ICoreWebView2NavigationCompletedEventArgs*>(
        IID_ICoreWebView2NavigationCompletedEventHandler,
        [this](ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* args) {
            if (!args) return S_OK;
            BOOL success = TRUE;
            COREWEBVIEW2_WEB_ERROR_STATUS status = COREWEBVIEW2_WEB_ERROR_STATUS_UNKNOWN;
            // A failed read keeps the defaults above: no failure is reported.
            (void)args->get_IsSuccess(&success);
            (void)args->get_WebErrorStatus(&status);
            if (!success)
                LogFormat("WebView: news navigation FAILED (webErrorStatus=%d) for %ls", static_cast<int>(status),
                          newsUrl_.c_str());
            return S_OK;
        });
    EventRegistrationToken token{};
    LogIfFailed(newsView_->add_NavigationCompleted(completed.get(), &token), "watching news navigations");
}

void WebView::RegisterIsolationScript() {
    // The selector goes in verbatim; one with a double quote breaks the
    // script, and pages are then shown whole.
    std::wstring script = Utf8ToWide(kNewsIsolationScript);
    const size_t at = script.find(kSelectorPlaceholder);
    if (at != std::wstring::npos) script.replace(at, wcslen(kSelectorPlaceholder), options_.newsSelector);

    // The first navigation waits for the registration, so that even the
    // first page is reduced.
    auto added = MakeCallback<ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler, HRESULT, LPCWSTR>(
        IID_ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler, [this](HRESULT hr, LPCWSTR) {
            if (FAILED(hr)) LogFormat("WebView: isolate script rejected 0x%08lx; pages will show unstripped", Code(hr));
            StartNewsNavigation();
            return S_OK;
        });
    const HRESULT hr = newsView_->AddScriptToExecuteOnDocumentCreated(script.c_str(), added.get());
    // A refusal on the spot means the handler will never run: the page must
    // still be shown.
    if (FAILED(hr)) {
        LogFormat("WebView: isolate script rejected 0x%08lx; pages will show unstripped", Code(hr));
        StartNewsNavigation();
    }
}

void WebView::StartNewsNavigation() {
    LogFormat("WebView: news view navigating to %ls", newsUrl_.c_str());
    // Not checked: a failed page is reported by the navigation handler.
    (void)newsView_->Navigate(newsUrl_.c_str());
}

void WebView::SetNewsPlacement(const RECT& rect, bool visible) {
    newsRect_ = rect;
    newsRectKnown_ = true;
    newsVisible_ = visible;
    if (!newsController_) return;
    if (visible) {
        LogIfFailed(newsController_->put_Bounds(newsRect_), "placing the news view");
        LogIfFailed(newsController_->put_IsVisible(TRUE), "showing the news view");
        if (newsWindow_) RaiseNewsWindow();
    } else {
        LogIfFailed(newsController_->put_IsVisible(FALSE), "hiding the news view");
    }
}

void WebView::RaiseNewsWindow() {
    if (!SetWindowPos(newsWindow_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE))
        LogFormat("WebView: could not raise the news view (err %lu)", GetLastError());
}

bool WebView::NewsViewShowsOtherPage() const {
    if (!newsView_) return false;
    CoTaskMemString source;
    if (FAILED(newsView_->get_Source(source.Put())) || !source) return false;
    const std::wstring shown = source.get();
    // about:blank: the first page has not committed yet and is on its way.
    return !shown.empty() && shown != L"about:blank" && shown != newsUrl_;
}

void WebView::NavigateNews(const std::wstring& url) {
    if (url.empty()) return;
    // The player may have followed a link inside the view since the page
    // last asked; "already shown" is what the view shows, not what was asked.
    if (url == newsUrl_ && !NewsViewShowsOtherPage()) return;
    newsUrl_ = url;
    if (!newsView_) return;
    StartNewsNavigation();
}

}  // namespace vr

#include "host/web_view.h"

#include <utility>

#include "host/news_isolation_script.h"
#include "platform/com.h"
#include "platform/log.h"
#include "text/text.h"
#include "webview2/iids.h"
#include "webview2/loader.h"

namespace vr {
namespace {

const wchar_t kCaption[] = L"Veltrune";
const wchar_t kRuntimeNotFound[] =
    L"The Microsoft Edge WebView2 Runtime is required but was not found.\n"
    L"Please install the Evergreen WebView2 Runtime and try again.";
const wchar_t kRuntimeNotStarted[] =
    L"The Microsoft Edge WebView2 Runtime is required but could not be started.\n"
    L"Please install the Evergreen WebView2 Runtime and try again.";
const wchar_t kSelectorPlaceholder[] = L"%SELECTOR%";

unsigned long Code(HRESULT hr) { return static_cast<unsigned long>(hr); }

// For calls whose failure changes nothing we could act on, but is worth a
// line when a view misbehaves.
void LogIfFailed(HRESULT hr, const char* call) {
    if (FAILED(hr)) LogFormat("WebView: %s failed 0x%08lx", call, Code(hr));
}

// A view that cannot start ends the program through the window's own close.
void CloseHostWindow(HWND window) {
    if (!PostMessageW(window, WM_CLOSE, 0, 0))
        LogFormat("WebView: could not close the window (err %lu)", GetLastError());
}

// A COM callback object around a callable: the runtime keeps its own
// references, so it lives until the last of them is released.
template <class Interface, class... Args>
class Callback final : public Interface {
public:
    template <class Fn>
    Callback(const IID& iid, Fn&& fn) : iid_(iid), fn_(std::forward<Fn>(fn)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE Invoke(Args... args) override { return fn_(args...); }

private:
    LONG refs_ = 1;
    const IID& iid_;
    std::function<HRESULT(Args...)> fn_;
};

template <class Interface, class... Args, class Fn>
ComPtr<Interface> MakeCallback(const IID& iid, Fn&& fn) {
    return ComPtr<Interface>::Adopt(new Callback<Interface, Args...>(iid, std::forward<Fn>(fn)));
}

// The host's child windows, top of the z-order first.
std::vector<HWND> ChildWindows(HWND parent) {
    std::vector<HWND> windows;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        windows.push_back(child);
    return windows;
}

// The views are part of the launcher's own window: no browser context menu,
// status bar, zoom or developer tools. Scripts and web messages stay on.
void TurnOffBrowserChrome(ICoreWebView2* view) {
    ComPtr<ICoreWebView2Settings> settings;
    if (FAILED(view->get_Settings(settings.Put())) || !settings) return;
    LogIfFailed(settings->put_AreDefaultContextMenusEnabled(FALSE), "turning off context menus");
    LogIfFailed(settings->put_IsStatusBarEnabled(FALSE), "turning off the status bar");
    LogIfFailed(settings->put_IsZoomControlEnabled(FALSE), "turning off zoom");
    LogIfFailed(settings->put_AreDevToolsEnabled(FALSE), "turning off developer tools");
}

}  // namespace

std::wstring OriginOf(const std::wstring& url) {
    if (url.size() < 3) return url;
    const size_t p = url.find(L"://");
    if (p == std::wstring::npos || p + 3 >= url.size()) return url;
    const size_t slash = url.find(L'/', p + 3);
    if (slash == std::wstring::npos) return url;
    return url.substr(0, slash);
}

bool IsFromOrigin(const std::wstring& source, const std::wstring& origin) {
    if (origin.empty()) return false;
    if (source == origin) return true;
    return source.size() > origin.size() && source.compare(0, origin.size(), origin) == 0 &&
           source[origin.size()] == L'/';
}

WebView::Seams::Seams() : messageBox(MessageBoxW) {}

WebView::~WebView() {
    // The runtime's objects go in this order; the host window is already
    // gone, so the controllers are not closed first.
    newsView_.Reset();
    newsController_.Reset();
    mainView_.Reset();
    mainController_.Reset();
    environment_.Reset();
}

bool WebView::Create(HWND window, WebViewOptions options) {
    window_ = window;
    options_ = std::move(options);
    trustedOrigin_ = OriginOf(options_.startUrl);
    newsUrl_ = options_.newsUrl;

    auto handler = MakeCallback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT,
                                ICoreWebView2Environment*>(
        IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
        [this](HRESULT result, ICoreWebView2Environment* environment) {
            return OnEnvironmentCreated(result, environment);
        });
    const HRESULT hr = CreateCoreWebView2EnvironmentWithOptions(nullptr, options_.userDataDir.c_str(), nullptr,
                                                                handler.get());
    if (FAILED(hr)) {
        LogFormat("WebView: CreateCoreWebView2EnvironmentWithOptions failed 0x%08lx", Code(hr));
        // A runtime may report a failure through the handler before the call
        // returns and fail the call too; the player sees one box, not two.
        if (!environmentFailureShown_) seams_.messageBox(window_, kRuntimeNotFound, kCaption, MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

HRESULT WebView::OnEnvironmentCreated(HRESULT result, ICoreWebView2Environment* environment) {
    if (FAILED(result) || !environment) {
        LogFormat("WebView: environment creation failed 0x%08lx", Code(result));
        environmentFailureShown_ = true;
        seams_.messageBox(window_, kRuntimeNotStarted, kCaption, MB_OK | MB_ICONERROR);
        CloseHostWindow(window_);
        return result;
    }
    environment_ = ComPtr<ICoreWebView2Environment>::Retain(environment);
    auto handler =
        MakeCallback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>(
            IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
            [this](HRESULT hr, ICoreWebView2Controller* controller) { return OnMainControllerCreated(hr, controller); });
    const HRESULT hr = environment_->CreateCoreWebView2Controller(window_, handler.get());
    // Refused on the spot, the handler never runs: without this the player
    // would be left with an empty window.
    if (FAILED(hr)) OnMainControllerCreated(hr, nullptr);
    return S_OK;
}

HRESULT WebView::OnMainControllerCreated(HRESULT result, ICoreWebView2Controller* controller) {
    // One answer per request, whether it came through the handler or as the
    // call's own result.
    if (mainControllerAnswered_) return S_OK;
    mainControllerAnswered_ = true;
    if (FAILED(result) || !controller) {
        LogFormat("WebView: controller creation failed 0x%08lx", Code(result));
        CloseHostWindow(window_);
        return S_OK;
    }
    OnControllerReady(controller);
    return S_OK;
}

void WebView::OnControllerReady(ICoreWebView2Controller* controller) {
    mainController_ = ComPtr<ICoreWebView2Controller>::Retain(controller);
    if (FAILED(mainController_->get_CoreWebView2(mainView_.Put()))) mainView_.Reset();
    if (!mainView_) {
        CloseHostWindow(window_);
        return;
    }
    TurnOffBrowserChrome(mainView_.get());
    ResizeToClient();

    // Folder mappings need a newer runtime; without them the page simply
    // cannot reach local files.
    // The mappings' results are not checked: a refused mapping only leaves
    // those files unreachable, which the page shows by itself.
    if (auto view3 = mainView_.As<ICoreWebView2_3>(IID_ICoreWebView2_3)) {
        (void)view3->SetVirtualHostNameToFolderMapping(kUiHostName, options_.webDir.c_str(),
                                                       COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW);
        if (!options_.assetsHost.empty() && !options_.assetsDir.empty())
            (void)view3->SetVirtualHostNameToFolderMapping(options_.assetsHost.c_str(), options_.assetsDir.c_str(),
                                                           COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW);
    }

    auto handler = MakeCallback<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*,
                                ICoreWebView2WebMessageReceivedEventArgs*>(
        IID_ICoreWebView2WebMessageReceivedEventHandler,
        [this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) { return OnWebMessage(args); });
    EventRegistrationToken token{};
    LogIfFailed(mainView_->add_WebMessageReceived(handler.get(), &token), "listening for page messages");

    // Not checked: a page that fails to load shows the browser's error page.
    (void)mainView_->Navigate(options_.startUrl.c_str());
    LogFormat("WebView: main UI navigating to %ls", options_.startUrl.c_str());

    if (environment_) CreateNewsView();
}

HRESULT WebView::OnWebMessage(ICoreWebView2WebMessageReceivedEventArgs* args) {
    if (!args) return S_OK;
    std::wstring source;
    {
        CoTaskMemString text;
        if (SUCCEEDED(args->get_Source(text.Put())) && text) source = text.get();
    }
    // Pages of the start page's site, and the local pages under the UI host.
    const bool trusted = IsFromOrigin(source, trustedOrigin_) ||
                         IsFromOrigin(source, std::wstring(L"https://") + kUiHostName);
    if (!trusted) {
        LogFormat("WebView: ignored web message from untrusted origin %ls", source.c_str());
        return S_OK;
    }
    CoTaskMemString json;
    if (FAILED(args->get_WebMessageAsJson(json.Put())) || !json) return S_OK;
    if (options_.onMessage) options_.onMessage(std::wstring(json.get()));
    return S_OK;
}

void WebView::ResizeToClient() {
    if (!mainController_) return;
    RECT client{};
    if (!GetClientRect(window_, &client)) return;
    LogIfFailed(mainController_->put_Bounds(client), "resizing the main view");
}

void WebView::PostJson(const std::wstring& json) {
    if (mainView_) LogIfFailed(mainView_->PostWebMessageAsJson(json.c_str()), "posting to the page");
}

void WebView::CreateNewsView() {
    // The runtime does not say which window is the new view's; it is the one
    // that was not there before.
    childWindowsBefore_ = ChildWindows(window_);
    auto handler =
        MakeCallback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>(
            IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
            [this](HRESULT hr, ICoreWebView2Controller* controller) { return OnNewsControllerCreated(hr, controller); });
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
    if (newsWindow_)
        RaiseNewsWindow();
    else
        LogLine("WebView: could not identify the news view window; it may stay hidden behind the UI");
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
            if (FAILED(hr))
                LogFormat("WebView: isolate script rejected 0x%08lx; pages will show unstripped", Code(hr));
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

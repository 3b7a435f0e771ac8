#include "host/web_view.h"

#include <utility>

#include "host/web_view_callback.h"
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

// A view that cannot start ends the program through the window's own close.
void CloseHostWindow(HWND window) {
    if (!PostMessageW(window, WM_CLOSE, 0, 0))
        LogFormat("WebView: could not close the window (err %lu)", GetLastError());
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

    auto handler =
        MakeCallback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>(
            IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
            [this](HRESULT result, ICoreWebView2Environment* environment) {
                return OnEnvironmentCreated(result, environment);
            });
    const HRESULT hr =
        CreateCoreWebView2EnvironmentWithOptions(nullptr, options_.userDataDir.c_str(), nullptr, handler.get());
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
            [this](HRESULT hr, ICoreWebView2Controller* controller) {
                return OnMainControllerCreated(hr, controller);
            });
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
    const bool trusted =
        IsFromOrigin(source, trustedOrigin_) || IsFromOrigin(source, std::wstring(L"https://") + kUiHostName);
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

}  // namespace vr

// A stand-in for the WebView2 runtime's client DLL (EmbeddedBrowserWebView.dll)
// for tests: same factory export, placed in a folder laid out like a
// fixed-version runtime (runtime\EBWebView\x64\) and chosen through
// WEBVIEW2_BROWSER_EXECUTABLE_FOLDER. It implements the environment,
// controllers (each with a real child window of its parent), views, settings
// and event args through the launcher's own declarations, records every
// call, and is driven through a line protocol.
//
// Like the real runtime it is asynchronous: completion handlers run later on
// the thread that created the environment, from a hidden window's messages,
// never inside the call that asked for them.
//
// Control protocol (UTF-8, one request line, LF-terminated; the reply is one
// line "OK[ <value>]" or "ERR <reason>", and list replies "OK <n>" are
// followed by n lines). In lines of CALLS and SCRIPTS a backslash is written
// "\\", LF "\n" and CR "\r". A view id is the controller's creation index
// among successfully created controllers (0 = the first, the main view).
//
//   PING                              -> OK
//   RESET                             -> OK; options back to defaults; views,
//                                        recordings and pending callbacks dropped
//   SET <option> <value>              -> OK
//       env.create <hr>               the factory fails at once with <hr>
//       env.complete <hr>             the environment completion reports <hr>
//       env.inline 0|1                the completion runs inside the factory call,
//                                     which then returns env.create's value
//       controller.<n> <hr>           the n-th controller request (from 0,
//                                     counting failed ones) completes with <hr>
//       controller.call.<n> <hr>      the n-th controller request itself fails
//                                     with <hr> (its handler is then never called)
//       controller.inline 0|1         controller completions run inside the request,
//                                     which then returns controller.call.<n>'s value
//       noview.<n> 1                  the n-th controller has no view
//       script <hr>                   result of AddScriptToExecuteOnDocumentCreated
//       script.call <hr>              AddScriptToExecuteOnDocumentCreated itself fails
//                                     with <hr> (its handler is then never called)
//       source.oncomplete 0|1         a view's source changes when its navigation
//                                     completes (NAVCOMPLETE), as on the runtime,
//                                     instead of when Navigate is called (default 0)
//     (<hr> is hex, e.g. 0x80004005, or decimal)
//   VIEWS                             -> OK <n>, then per view:
//       <id> hwnd=<hex> parent=<hex> visible=<0|1> bounds=<l>,<t>,<r>,<b> view=<0|1> url=<url>
//   WAITVIEWS <n> <timeout_ms>        -> OK <count> once n views exist, else ERR timeout
//   MESSAGE <view> <source> <json>    -> OK <handlers called>; delivers a web
//                                        message (json: the rest of the line)
//   NAVCOMPLETE <view> <0|1> <status> -> OK <handlers called>; ends a navigation
//                                        with IsSuccess and WebErrorStatus
//   NAVIGATE <view> <url>             -> OK; the view goes to <url> by itself (the
//                                        player followed a link in it): its source
//                                        changes, nothing is called in the launcher
//   POSTED <view> <timeout_ms>        -> OK <json>: the oldest unread JSON the
//                                        launcher posted to that view (line breaks
//                                        turned into spaces); ERR timeout
//   CALLS [<from>]                    -> OK <n>, then the recorded calls from
//                                        index <from> (default 0)
//   SCRIPTS <view>                    -> OK <n>, then the scripts added to the view
//
// In process: the exported FakeWebView2Control(request, reply, capacity)
// runs one request and returns the reply's length (call again with a larger
// buffer when it does not fit). Blocking waits need another thread pumping
// the UI thread's messages, so in-process callers on that thread use 0.
// Over TCP: set VR_FAKE_WEBVIEW2_PORT (0 = any free port) and/or
// VR_FAKE_WEBVIEW2_PORT_FILE (the chosen port is written there as decimal
// text); the server listens on 127.0.0.1 from the first environment request
// and serves several connections at once (a waiting POSTED holds only its own).
// Options a harness needs before it can connect (the environment's own
// failures): VR_FAKE_WEBVIEW2_OPTIONS holds SET arguments separated by ';',
// e.g. "env.complete 0x80070005;script.call 0x80004005", applied at each environment request.

#include "fake_webview2_internal.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "webview2/iids.h"
#include "webview2/webview2.h"

using namespace vr;

namespace {

class FakeController;
class FakeView;
class FakeEnvironment;

struct Options {
    HRESULT envCreate = S_OK;
    HRESULT envComplete = S_OK;
    bool envInline = false;
    HRESULT script = S_OK;
    HRESULT scriptCall = S_OK;
    std::map<int, HRESULT> controllerFailure;
    std::map<int, HRESULT> controllerCallFailure;
    bool controllerInline = false;
    std::set<int> noView;
    bool sourceOnComplete = false;
};

struct ViewRecord {
    HWND parent = nullptr;
    HWND window = nullptr;
    bool visible = true;
    RECT bounds{};
    std::wstring url;
    std::wstring pendingUrl;               // with source.oncomplete: where Navigate is going
    FakeController* controller = nullptr;  // one reference held here
    FakeView* view = nullptr;              // one reference held here, or null
    std::deque<std::wstring> posted;
    std::vector<std::wstring> scripts;
    std::vector<ICoreWebView2WebMessageReceivedEventHandler*> messageHandlers;
    std::vector<ICoreWebView2NavigationCompletedEventHandler*> navigationHandlers;
};

std::recursive_mutex g_mutex;
std::condition_variable_any g_changed;
Options g_options;
std::vector<ViewRecord> g_views;
std::vector<std::wstring> g_calls;
int g_controllerRequests = 0;
// Bumped by RESET so that callbacks queued before it are dropped.
unsigned g_generation = 0;
std::deque<std::pair<unsigned, std::function<void()>>> g_pending;
HWND g_dispatch = nullptr;  // hidden window of the UI thread
FakeEnvironment* g_environment = nullptr;

const UINT kRunPending = WM_APP + 1;
const UINT kRunCommand = WM_APP + 2;

void Record(const std::wstring& line) {
    std::lock_guard lock(g_mutex);
    g_calls.push_back(line);
    g_changed.notify_all();
}

std::wstring Hex(const void* p) {
    wchar_t buffer[32];
    swprintf(buffer, 32, L"%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return buffer;
}

std::wstring RectText(const RECT& r) {
    return std::to_wstring(r.left) + L"," + std::to_wstring(r.top) + L"," + std::to_wstring(r.right) + L"," +
           std::to_wstring(r.bottom);
}

wchar_t* CoTaskCopy(const std::wstring& text) {
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (copy) memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return copy;
}

HRESULT NotImplemented(const char* object, int id, const char* method) {
    std::wstring line;
    for (const char* c = object; *c; ++c) line += static_cast<wchar_t>(*c);
    line += L" " + std::to_wstring(id) + L" ";
    for (const char* c = method; *c; ++c) line += static_cast<wchar_t>(*c);
    Record(line + L" not implemented");
    return E_NOTIMPL;
}

// Runs fn later on the UI thread, from the hidden window's message.
void Later(std::function<void()> fn) {
    std::lock_guard lock(g_mutex);
    g_pending.emplace_back(g_generation, std::move(fn));
    PostMessageW(g_dispatch, kRunPending, 0, 0);
}

// A method the launcher must not call: the call is recorded and fails.
#define VR_NOT_IMPLEMENTED(object, method, ...) \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { return NotImplemented(object, id_, #method); }

// Reference counting shared by every fake object.
template <class Base>
class Counted : public Base {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    virtual ~Counted() = default;

protected:
    HRESULT Answer(REFIID riid, void** out, std::initializer_list<const IID*> iids) {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *out = static_cast<Base*>(this);
        } else {
            for (const IID* iid : iids)
                if (IsEqualIID(riid, *iid)) *out = static_cast<Base*>(this);
        }
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

private:
    LONG refs_ = 1;
};

class FakeSettings : public Counted<ICoreWebView2Settings> {
public:
    explicit FakeSettings(int id) : id_(id) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return Answer(riid, out, {&IID_ICoreWebView2Settings});
    }
    VR_NOT_IMPLEMENTED("settings", get_IsScriptEnabled, BOOL*)
    VR_NOT_IMPLEMENTED("settings", put_IsScriptEnabled, BOOL)
    VR_NOT_IMPLEMENTED("settings", get_IsWebMessageEnabled, BOOL*)
    VR_NOT_IMPLEMENTED("settings", put_IsWebMessageEnabled, BOOL)
    VR_NOT_IMPLEMENTED("settings", get_AreDefaultScriptDialogsEnabled, BOOL*)
    VR_NOT_IMPLEMENTED("settings", put_AreDefaultScriptDialogsEnabled, BOOL)
    VR_NOT_IMPLEMENTED("settings", get_IsStatusBarEnabled, BOOL*)
    VR_NOT_IMPLEMENTED("settings", get_AreDevToolsEnabled, BOOL*)
    VR_NOT_IMPLEMENTED("settings", get_AreDefaultContextMenusEnabled, BOOL*)
    VR_NOT_IMPLEMENTED("settings", get_AreHostObjectsAllowed, BOOL*)
    VR_NOT_IMPLEMENTED("settings", put_AreHostObjectsAllowed, BOOL)
    VR_NOT_IMPLEMENTED("settings", get_IsZoomControlEnabled, BOOL*)
    HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL v) override { return Put(L"put_IsStatusBarEnabled", v); }
    HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL v) override { return Put(L"put_AreDevToolsEnabled", v); }
    HRESULT STDMETHODCALLTYPE put_AreDefaultContextMenusEnabled(BOOL v) override {
        return Put(L"put_AreDefaultContextMenusEnabled", v);
    }
    HRESULT STDMETHODCALLTYPE put_IsZoomControlEnabled(BOOL v) override { return Put(L"put_IsZoomControlEnabled", v); }

private:
    HRESULT Put(const wchar_t* name, BOOL value) {
        Record(L"settings " + std::to_wstring(id_) + L" " + name + L" " + std::to_wstring(value));
        return S_OK;
    }
    int id_;
};

class FakeMessageArgs : public Counted<ICoreWebView2WebMessageReceivedEventArgs> {
public:
    FakeMessageArgs(std::wstring source, std::wstring json) : source_(std::move(source)), json_(std::move(json)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return Answer(riid, out, {&IID_ICoreWebView2WebMessageReceivedEventArgs});
    }
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* value) override {
        if (!value) return E_POINTER;
        *value = CoTaskCopy(source_);
        return *value ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* value) override {
        if (!value) return E_POINTER;
        *value = CoTaskCopy(json_);
        return *value ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::wstring source_, json_;
};

class FakeNavigationArgs : public Counted<ICoreWebView2NavigationCompletedEventArgs> {
public:
    FakeNavigationArgs(BOOL success, int status) : success_(success), status_(status) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return Answer(riid, out, {&IID_ICoreWebView2NavigationCompletedEventArgs});
    }
    HRESULT STDMETHODCALLTYPE get_IsSuccess(BOOL* value) override {
        if (!value) return E_POINTER;
        *value = success_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_WebErrorStatus(COREWEBVIEW2_WEB_ERROR_STATUS* value) override {
        if (!value) return E_POINTER;
        *value = static_cast<COREWEBVIEW2_WEB_ERROR_STATUS>(status_);
        return S_OK;
    }

private:
    BOOL success_;
    int status_;
};

ViewRecord* Find(int id) {
    if (id < 0 || id >= static_cast<int>(g_views.size())) return nullptr;
    return &g_views[id];
}

class FakeView : public Counted<ICoreWebView2_3> {
public:
    explicit FakeView(int id) : id_(id) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return Answer(riid, out, {&IID_ICoreWebView2, &IID_ICoreWebView2_2, &IID_ICoreWebView2_3});
    }
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) override {
        Record(L"view " + std::to_wstring(id_) + L" get_Source");
        if (!uri) return E_POINTER;
        std::wstring url;
        {
            std::lock_guard lock(g_mutex);
            if (ViewRecord* record = Find(id_)) url = record->url;
        }
        // A view that has shown nothing yet is at about:blank, like the runtime's.
        *uri = CoTaskCopy(url.empty() ? L"about:blank" : url);
        return *uri ? S_OK : E_OUTOFMEMORY;
    }
    VR_NOT_IMPLEMENTED("view", NavigateToString, LPCWSTR)
    VR_NOT_IMPLEMENTED("view", add_NavigationStarting, ICoreWebView2NavigationStartingEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_NavigationStarting, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_ContentLoading, ICoreWebView2ContentLoadingEventHandler*, EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_ContentLoading, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_SourceChanged, ICoreWebView2SourceChangedEventHandler*, EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_SourceChanged, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_HistoryChanged, ICoreWebView2HistoryChangedEventHandler*, EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_HistoryChanged, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", remove_NavigationCompleted, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_FrameNavigationStarting, ICoreWebView2NavigationStartingEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_FrameNavigationStarting, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_FrameNavigationCompleted, ICoreWebView2NavigationCompletedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_FrameNavigationCompleted, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_ScriptDialogOpening, ICoreWebView2ScriptDialogOpeningEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_ScriptDialogOpening, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_PermissionRequested, ICoreWebView2PermissionRequestedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_PermissionRequested, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_ProcessFailed, ICoreWebView2ProcessFailedEventHandler*, EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_ProcessFailed, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", RemoveScriptToExecuteOnDocumentCreated, LPCWSTR)
    VR_NOT_IMPLEMENTED("view", ExecuteScript, LPCWSTR, ICoreWebView2ExecuteScriptCompletedHandler*)
    VR_NOT_IMPLEMENTED("view", CapturePreview, COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT, IStream*,
                       ICoreWebView2CapturePreviewCompletedHandler*)
    VR_NOT_IMPLEMENTED("view", Reload)
    VR_NOT_IMPLEMENTED("view", PostWebMessageAsString, LPCWSTR)
    VR_NOT_IMPLEMENTED("view", remove_WebMessageReceived, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", CallDevToolsProtocolMethod, LPCWSTR, LPCWSTR,
                       ICoreWebView2CallDevToolsProtocolMethodCompletedHandler*)
    VR_NOT_IMPLEMENTED("view", get_BrowserProcessId, UINT32*)
    VR_NOT_IMPLEMENTED("view", get_CanGoBack, BOOL*)
    VR_NOT_IMPLEMENTED("view", get_CanGoForward, BOOL*)
    VR_NOT_IMPLEMENTED("view", GoBack)
    VR_NOT_IMPLEMENTED("view", GoForward)
    VR_NOT_IMPLEMENTED("view", GetDevToolsProtocolEventReceiver, LPCWSTR, ICoreWebView2DevToolsProtocolEventReceiver**)
    VR_NOT_IMPLEMENTED("view", Stop)
    VR_NOT_IMPLEMENTED("view", add_NewWindowRequested, ICoreWebView2NewWindowRequestedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_NewWindowRequested, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_DocumentTitleChanged, ICoreWebView2DocumentTitleChangedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_DocumentTitleChanged, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", get_DocumentTitle, LPWSTR*)
    VR_NOT_IMPLEMENTED("view", AddHostObjectToScript, LPCWSTR, VARIANT*)
    VR_NOT_IMPLEMENTED("view", RemoveHostObjectFromScript, LPCWSTR)
    VR_NOT_IMPLEMENTED("view", OpenDevToolsWindow)
    VR_NOT_IMPLEMENTED("view", add_ContainsFullScreenElementChanged,
                       ICoreWebView2ContainsFullScreenElementChangedEventHandler*, EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_ContainsFullScreenElementChanged, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", get_ContainsFullScreenElement, BOOL*)
    VR_NOT_IMPLEMENTED("view", add_WebResourceRequested, ICoreWebView2WebResourceRequestedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_WebResourceRequested, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", AddWebResourceRequestedFilter, const LPCWSTR, const COREWEBVIEW2_WEB_RESOURCE_CONTEXT)
    VR_NOT_IMPLEMENTED("view", RemoveWebResourceRequestedFilter, const LPCWSTR, const COREWEBVIEW2_WEB_RESOURCE_CONTEXT)
    VR_NOT_IMPLEMENTED("view", add_WindowCloseRequested, ICoreWebView2WindowCloseRequestedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_WindowCloseRequested, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", add_WebResourceResponseReceived, ICoreWebView2WebResourceResponseReceivedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_WebResourceResponseReceived, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", NavigateWithWebResourceRequest, ICoreWebView2WebResourceRequest*)
    VR_NOT_IMPLEMENTED("view", add_DOMContentLoaded, ICoreWebView2DOMContentLoadedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("view", remove_DOMContentLoaded, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("view", get_CookieManager, ICoreWebView2CookieManager**)
    VR_NOT_IMPLEMENTED("view", get_Environment, ICoreWebView2Environment**)
    VR_NOT_IMPLEMENTED("view", TrySuspend, ICoreWebView2TrySuspendCompletedHandler*)
    VR_NOT_IMPLEMENTED("view", Resume)
    VR_NOT_IMPLEMENTED("view", get_IsSuspended, BOOL*)
    HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override {
        if (!settings) return E_POINTER;
        *settings = new FakeSettings(id_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
        std::wstring url = uri ? uri : L"";
        Record(L"view " + std::to_wstring(id_) + L" Navigate " + url);
        std::lock_guard lock(g_mutex);
        if (ViewRecord* record = Find(id_)) (g_options.sourceOnComplete ? record->pendingUrl : record->url) = url;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE add_NavigationCompleted(ICoreWebView2NavigationCompletedEventHandler* handler,
                                                      EventRegistrationToken* token) override {
        Record(L"view " + std::to_wstring(id_) + L" add_NavigationCompleted");
        return AddHandler(&ViewRecord::navigationHandlers, handler, token);
    }
    HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(
        LPCWSTR javaScript, ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* handler) override {
        Record(L"view " + std::to_wstring(id_) + L" AddScriptToExecuteOnDocumentCreated");
        HRESULT result;
        {
            std::lock_guard lock(g_mutex);
            if (FAILED(g_options.scriptCall)) return g_options.scriptCall;
            ViewRecord* record = Find(id_);
            if (record) record->scripts.push_back(javaScript ? javaScript : L"");
            result = g_options.script;
        }
        if (handler) {
            handler->AddRef();
            const std::wstring scriptId = L"script-" + std::to_wstring(id_);
            Later([handler, result, scriptId] {
                handler->Invoke(result, SUCCEEDED(result) ? scriptId.c_str() : nullptr);
                handler->Release();
            });
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) override {
        std::wstring text = json ? json : L"";
        Record(L"view " + std::to_wstring(id_) + L" PostWebMessageAsJson " + text);
        std::lock_guard lock(g_mutex);
        if (ViewRecord* record = Find(id_)) record->posted.push_back(text);
        g_changed.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                                                     EventRegistrationToken* token) override {
        Record(L"view " + std::to_wstring(id_) + L" add_WebMessageReceived");
        return AddHandler(&ViewRecord::messageHandlers, handler, token);
    }
    HRESULT STDMETHODCALLTYPE SetVirtualHostNameToFolderMapping(LPCWSTR hostName, LPCWSTR folderPath,
                                                                COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND kind) override {
        Record(L"view " + std::to_wstring(id_) + L" SetVirtualHostNameToFolderMapping " + (hostName ? hostName : L"") +
               L" " + std::to_wstring(static_cast<int>(kind)) + L" " + (folderPath ? folderPath : L""));
        return S_OK;
    }

private:
    // The handler is kept, with a reference, on the view's record; its token
    // is its position in that list.
    template <typename Handler>
    HRESULT AddHandler(std::vector<Handler*> ViewRecord::*list, Handler* handler, EventRegistrationToken* token) {
        if (!handler || !token) return E_POINTER;
        std::lock_guard lock(g_mutex);
        ViewRecord* record = Find(id_);
        if (!record) return E_FAIL;
        handler->AddRef();
        (record->*list).push_back(handler);
        token->value = static_cast<INT64>((record->*list).size());
        return S_OK;
    }

    int id_;
};

class FakeController : public Counted<ICoreWebView2Controller> {
public:
    explicit FakeController(int id) : id_(id) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return Answer(riid, out, {&IID_ICoreWebView2Controller});
    }
    VR_NOT_IMPLEMENTED("controller", get_IsVisible, BOOL*)
    VR_NOT_IMPLEMENTED("controller", get_Bounds, RECT*)
    VR_NOT_IMPLEMENTED("controller", get_ZoomFactor, double*)
    VR_NOT_IMPLEMENTED("controller", put_ZoomFactor, double)
    VR_NOT_IMPLEMENTED("controller", add_ZoomFactorChanged, ICoreWebView2ZoomFactorChangedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("controller", remove_ZoomFactorChanged, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("controller", SetBoundsAndZoomFactor, RECT, double)
    VR_NOT_IMPLEMENTED("controller", MoveFocus, COREWEBVIEW2_MOVE_FOCUS_REASON)
    VR_NOT_IMPLEMENTED("controller", add_MoveFocusRequested, ICoreWebView2MoveFocusRequestedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("controller", remove_MoveFocusRequested, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("controller", add_GotFocus, ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("controller", remove_GotFocus, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("controller", add_LostFocus, ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("controller", remove_LostFocus, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("controller", add_AcceleratorKeyPressed, ICoreWebView2AcceleratorKeyPressedEventHandler*,
                       EventRegistrationToken*)
    VR_NOT_IMPLEMENTED("controller", remove_AcceleratorKeyPressed, EventRegistrationToken)
    VR_NOT_IMPLEMENTED("controller", get_ParentWindow, HWND*)
    VR_NOT_IMPLEMENTED("controller", put_ParentWindow, HWND)
    VR_NOT_IMPLEMENTED("controller", NotifyParentWindowPositionChanged)
    VR_NOT_IMPLEMENTED("controller", Close)
    HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) override {
        Record(L"controller " + std::to_wstring(id_) + L" put_IsVisible " + std::to_wstring(visible));
        HWND window = nullptr;
        {
            std::lock_guard lock(g_mutex);
            ViewRecord* record = Find(id_);
            if (!record) return E_FAIL;
            record->visible = visible != FALSE;
            window = record->window;
        }
        if (window) ShowWindow(window, visible ? SW_SHOWNA : SW_HIDE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
        Record(L"controller " + std::to_wstring(id_) + L" put_Bounds " + RectText(bounds));
        HWND window = nullptr;
        {
            std::lock_guard lock(g_mutex);
            ViewRecord* record = Find(id_);
            if (!record) return E_FAIL;
            record->bounds = bounds;
            window = record->window;
        }
        if (window)
            SetWindowPos(window, nullptr, bounds.left, bounds.top, bounds.right - bounds.left,
                         bounds.bottom - bounds.top, SWP_NOZORDER | SWP_NOACTIVATE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** view) override {
        Record(L"controller " + std::to_wstring(id_) + L" get_CoreWebView2");
        if (!view) return E_POINTER;
        std::lock_guard lock(g_mutex);
        ViewRecord* record = Find(id_);
        *view = record ? record->view : nullptr;
        if (*view) (*view)->AddRef();
        return S_OK;
    }

private:
    int id_;
};

LRESULT CALLBACK ChildProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ERASEBKGND) return 1;
    return DefWindowProcW(window, message, wParam, lParam);
}

// A controller's own window, like the runtime's: a child of the parent,
// visible at once. It goes to the bottom of the parent's children, where a
// later window can end up on the real runtime too, so that a host which does
// not raise its floating view really leaves it hidden.
HWND CreateChildWindow(HWND parent) {
    static bool registered = false;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!registered) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = ChildProc;
        wc.hInstance = instance;
        wc.lpszClassName = L"FakeWebView2Window";
        RegisterClassExW(&wc);
        registered = true;
    }
    HWND window = CreateWindowExW(0, L"FakeWebView2Window", L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0, 0,
                                  parent, nullptr, instance, nullptr);
    if (window) SetWindowPos(window, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return window;
}

class FakeEnvironment : public Counted<ICoreWebView2Environment> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return Answer(riid, out, {&IID_ICoreWebView2Environment});
    }
    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
        Record(L"environment CreateCoreWebView2Controller parent=" + Hex(parent));
        if (!handler) return E_POINTER;
        int request;
        HRESULT callFailure = S_OK;
        bool inlineCompletion;
        {
            std::lock_guard lock(g_mutex);
            request = g_controllerRequests++;
            auto refused = g_options.controllerCallFailure.find(request);
            if (refused != g_options.controllerCallFailure.end()) callFailure = refused->second;
            inlineCompletion = g_options.controllerInline;
        }
        if (FAILED(callFailure) && !inlineCompletion) return callFailure;
        handler->AddRef();
        auto complete = [handler, parent, request] {
            HRESULT failure = S_OK;
            bool withView = true;
            {
                std::lock_guard lock(g_mutex);
                auto it = g_options.controllerFailure.find(request);
                if (it != g_options.controllerFailure.end()) failure = it->second;
                withView = g_options.noView.count(request) == 0;
            }
            if (FAILED(failure)) {
                handler->Invoke(failure, nullptr);
                handler->Release();
                return;
            }
            HWND window = CreateChildWindow(parent);
            FakeController* controller;
            {
                std::lock_guard lock(g_mutex);
                const int id = static_cast<int>(g_views.size());
                ViewRecord record;
                record.parent = parent;
                record.window = window;
                record.controller = controller = new FakeController(id);
                if (withView) record.view = new FakeView(id);
                g_views.push_back(std::move(record));
                g_changed.notify_all();
            }
            handler->Invoke(S_OK, controller);
            handler->Release();
        };
        // Like the environment's: a runtime may answer inside the call and
        // then fail the call as well.
        if (inlineCompletion) {
            complete();
            return callFailure;
        }
        Later(complete);
        return S_OK;
    }
};

LRESULT CALLBACK DispatchProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRunPending) {
        std::function<void()> fn;
        {
            std::lock_guard lock(g_mutex);
            if (g_pending.empty()) return 0;
            auto [generation, next] = std::move(g_pending.front());
            g_pending.pop_front();
            if (generation != g_generation) return 0;
            fn = std::move(next);
        }
        fn();
        return 0;
    }
    if (message == kRunCommand) {
        *reinterpret_cast<std::string*>(lParam) = RunCommand(*reinterpret_cast<const std::string*>(wParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void EnsureDispatchWindow() {
    std::lock_guard lock(g_mutex);
    if (g_dispatch && IsWindow(g_dispatch)) return;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DispatchProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"FakeWebView2Dispatch";
    RegisterClassExW(&wc);
    g_dispatch =
        CreateWindowExW(0, L"FakeWebView2Dispatch", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
}

// ---- text helpers of the protocol ----

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), n);
    return result;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), n, nullptr, nullptr);
    return result;
}

std::string Escaped(const std::wstring& text) {
    std::string out;
    for (char c : Narrow(text)) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string ListReply(const std::vector<std::string>& lines) {
    std::string reply = "OK " + std::to_string(lines.size());
    for (const auto& line : lines) reply += "\n" + line;
    return reply;
}

// Splits off the first word; the rest keeps its inner spaces.
std::string Word(std::string& rest) {
    const size_t start = rest.find_first_not_of(' ');
    if (start == std::string::npos) {
        rest.clear();
        return {};
    }
    size_t end = rest.find(' ', start);
    if (end == std::string::npos) end = rest.size();
    std::string word = rest.substr(start, end - start);
    rest = end < rest.size() ? rest.substr(end + 1) : std::string();
    return word;
}

bool Number(const std::string& text, long long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = strtoll(text.c_str(), &end, 0);
    return end && *end == '\0';
}

void ResetState() {
    std::vector<IUnknown*> drop;
    {
        std::lock_guard lock(g_mutex);
        for (auto& record : g_views) {
            drop.push_back(record.controller);
            if (record.view) drop.push_back(record.view);
            for (auto* h : record.messageHandlers) drop.push_back(h);
            for (auto* h : record.navigationHandlers) drop.push_back(h);
        }
        g_views.clear();
        g_calls.clear();
        g_options = Options();
        g_controllerRequests = 0;
        ++g_generation;
        g_pending.clear();
    }
    // Outside the lock: a handler's release may run its owner's code.
    for (IUnknown* object : drop) object->Release();
}

std::string Deliver(int id, const std::wstring& source, const std::wstring& json) {
    std::vector<ICoreWebView2WebMessageReceivedEventHandler*> handlers;
    FakeView* view = nullptr;
    {
        std::lock_guard lock(g_mutex);
        ViewRecord* record = Find(id);
        if (!record || !record->view) return "ERR no such view";
        view = record->view;
        view->AddRef();
        handlers = record->messageHandlers;
        for (auto* h : handlers) h->AddRef();
    }
    auto* args = new FakeMessageArgs(source, json);
    for (auto* h : handlers) {
        h->Invoke(view, args);
        h->Release();
    }
    args->Release();
    view->Release();
    return "OK " + std::to_string(handlers.size());
}

std::string CompleteNavigation(int id, bool success, int status) {
    std::vector<ICoreWebView2NavigationCompletedEventHandler*> handlers;
    FakeView* view = nullptr;
    {
        std::lock_guard lock(g_mutex);
        ViewRecord* record = Find(id);
        if (!record || !record->view) return "ERR no such view";
        view = record->view;
        view->AddRef();
        handlers = record->navigationHandlers;
        if (!record->pendingUrl.empty()) record->url = std::move(record->pendingUrl);
        record->pendingUrl.clear();
        for (auto* h : handlers) h->AddRef();
    }
    auto* args = new FakeNavigationArgs(success ? TRUE : FALSE, status);
    for (auto* h : handlers) {
        h->Invoke(view, args);
        h->Release();
    }
    args->Release();
    view->Release();
    return "OK " + std::to_string(handlers.size());
}

std::string SetOption(const std::string& name, const std::string& valueText) {
    long long value = 0;
    if (!Number(valueText, &value)) return "ERR bad value";
    std::lock_guard lock(g_mutex);
    const HRESULT hr = static_cast<HRESULT>(static_cast<unsigned long>(value));
    if (name == "env.create") g_options.envCreate = hr;
    else if (name == "env.complete") g_options.envComplete = hr;
    else if (name == "env.inline") g_options.envInline = value != 0;
    else if (name == "script") g_options.script = hr;
    else if (name == "script.call") g_options.scriptCall = hr;
    else if (name == "source.oncomplete") g_options.sourceOnComplete = value != 0;
    else if (name == "controller.inline") g_options.controllerInline = value != 0;
    else if (name.rfind("controller.call.", 0) == 0) g_options.controllerCallFailure[atoi(name.c_str() + 16)] = hr;
    else if (name.rfind("controller.", 0) == 0) g_options.controllerFailure[atoi(name.c_str() + 11)] = hr;
    else if (name.rfind("noview.", 0) == 0) {
        if (value) g_options.noView.insert(atoi(name.c_str() + 7));
        else g_options.noView.erase(atoi(name.c_str() + 7));
    } else return "ERR unknown option";
    return "OK";
}

std::string Wait(const std::string& command, std::string rest) {
    long long id = 0, timeout = 0, count = 0;
    const DWORD start = GetTickCount();
    std::unique_lock lock(g_mutex);
    if (command == "WAITVIEWS") {
        if (!Number(Word(rest), &count) || !Number(Word(rest), &timeout)) return "ERR usage";
        g_changed.wait_for(lock, std::chrono::milliseconds(timeout),
                           [&] { return static_cast<long long>(g_views.size()) >= count; });
        if (static_cast<long long>(g_views.size()) < count) return "ERR timeout";
        return "OK " + std::to_string(g_views.size());
    }
    if (!Number(Word(rest), &id) || !Number(Word(rest), &timeout)) return "ERR usage";
    auto ready = [&] {
        ViewRecord* record = Find(static_cast<int>(id));
        return record && !record->posted.empty();
    };
    g_changed.wait_for(lock, std::chrono::milliseconds(timeout), ready);
    (void)start;
    if (!ready()) return "ERR timeout";
    ViewRecord* record = Find(static_cast<int>(id));
    std::wstring json = record->posted.front();
    record->posted.pop_front();
    // One reply is one line. Line breaks can only be whitespace between JSON
    // tokens (inside strings they are escaped), so spaces keep the value.
    for (auto& c : json)
        if (c == L'\n' || c == L'\r') c = L' ';
    return "OK " + Narrow(json);
}

void ApplyOptionsFromEnvironment() {
    char buffer[1024];
    const DWORD n = GetEnvironmentVariableA("VR_FAKE_WEBVIEW2_OPTIONS", buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return;
    std::string list(buffer, n);
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(start, end - start);
        const std::string name = Word(item);
        if (!name.empty()) SetOption(name, Word(item));
        start = end + 1;
    }
}

}  // namespace

// Runs one request on the current thread.
std::string RunCommand(const std::string& request) {
    std::string rest = request;
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) rest.pop_back();
    const std::string command = Word(rest);
    if (command == "PING") return "OK";
    if (command == "RESET") {
        ResetState();
        return "OK";
    }
    if (command == "SET") {
        const std::string name = Word(rest);
        return SetOption(name, Word(rest));
    }
    if (command == "VIEWS") {
        std::lock_guard lock(g_mutex);
        std::vector<std::string> lines;
        for (size_t i = 0; i < g_views.size(); ++i) {
            const ViewRecord& r = g_views[i];
            lines.push_back(std::to_string(i) + " hwnd=" + Narrow(Hex(r.window)) + " parent=" + Narrow(Hex(r.parent)) +
                            " visible=" + (r.visible ? "1" : "0") + " bounds=" + Narrow(RectText(r.bounds)) +
                            " view=" + (r.view ? "1" : "0") + " url=" + Narrow(r.url));
        }
        return ListReply(lines);
    }
    if (command == "WAITVIEWS" || command == "POSTED") return Wait(command, rest);
    if (command == "MESSAGE") {
        long long id = 0;
        if (!Number(Word(rest), &id)) return "ERR usage";
        const std::string source = Word(rest);
        return Deliver(static_cast<int>(id), Wide(source), Wide(rest));
    }
    if (command == "NAVCOMPLETE") {
        long long id = 0, success = 0, status = 0;
        if (!Number(Word(rest), &id) || !Number(Word(rest), &success) || !Number(Word(rest), &status))
            return "ERR usage";
        return CompleteNavigation(static_cast<int>(id), success != 0, static_cast<int>(status));
    }
    if (command == "NAVIGATE") {
        long long id = 0;
        if (!Number(Word(rest), &id)) return "ERR usage";
        const std::string url = Word(rest);
        if (url.empty()) return "ERR usage";
        std::lock_guard lock(g_mutex);
        ViewRecord* record = Find(static_cast<int>(id));
        if (!record || !record->view) return "ERR no such view";
        record->url = Wide(url);
        record->pendingUrl.clear();
        return "OK";
    }
    if (command == "CALLS") {
        long long from = 0;
        const std::string first = Word(rest);
        if (!first.empty() && !Number(first, &from)) return "ERR usage";
        std::lock_guard lock(g_mutex);
        std::vector<std::string> lines;
        for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < g_calls.size(); ++i)
            lines.push_back(Escaped(g_calls[i]));
        return ListReply(lines);
    }
    if (command == "SCRIPTS") {
        long long id = 0;
        if (!Number(Word(rest), &id)) return "ERR usage";
        std::lock_guard lock(g_mutex);
        ViewRecord* record = Find(static_cast<int>(id));
        if (!record) return "ERR no such view";
        std::vector<std::string> lines;
        for (const auto& script : record->scripts) lines.push_back(Escaped(script));
        return ListReply(lines);
    }
    return "ERR unknown command";
}

// Runs one request where it belongs: handlers only ever run on the UI thread,
// so requests from other threads that call into the launcher are sent there.
std::string ExecuteCommand(const std::string& request) {
    std::string probe = request;
    const std::string command = Word(probe);
    const bool waits = command == "WAITVIEWS" || command == "POSTED";
    HWND dispatch;
    {
        std::lock_guard lock(g_mutex);
        dispatch = g_dispatch;
    }
    if (waits || !dispatch || GetWindowThreadProcessId(dispatch, nullptr) == GetCurrentThreadId())
        return RunCommand(request);
    std::string reply = "ERR UI thread not responding";
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(dispatch, kRunCommand, reinterpret_cast<WPARAM>(&request), reinterpret_cast<LPARAM>(&reply),
                        SMTO_NORMAL, 10000, &ignored);
    return reply;
}

extern "C" __declspec(dllexport) HRESULT STDMETHODCALLTYPE
    CreateWebViewEnvironmentWithOptionsInternal(BOOL flag, int runtimeType, PCWSTR userDataFolder,
                                                ICoreWebView2EnvironmentOptions* options,
                                                ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    Record(L"CreateWebViewEnvironmentWithOptionsInternal flag=" + std::to_wstring(flag) + L" type=" +
           std::to_wstring(runtimeType) + L" options=" + (options ? L"1" : L"0") + L" userData=" +
           (userDataFolder ? userDataFolder : L"(null)"));
    StartControlServer();
    ApplyOptionsFromEnvironment();
    if (!handler) return E_POINTER;
    HRESULT createFailure, completeFailure;
    bool inlineCompletion;
    {
        std::lock_guard lock(g_mutex);
        createFailure = g_options.envCreate;
        completeFailure = g_options.envComplete;
        inlineCompletion = g_options.envInline;
    }
    EnsureDispatchWindow();
    auto complete = [handler, completeFailure] {
        if (FAILED(completeFailure)) {
            handler->Invoke(completeFailure, nullptr);
        } else {
            {
                std::lock_guard lock(g_mutex);
                if (!g_environment) g_environment = new FakeEnvironment();  // lives as long as the process
            }
            handler->Invoke(S_OK, g_environment);
        }
        handler->Release();
    };
    handler->AddRef();
    // The real runtime may report some failures through the handler before
    // the call returns, and may then fail the call as well.
    if (inlineCompletion) {
        complete();
        return createFailure;
    }
    if (FAILED(createFailure)) {
        handler->Release();
        return createFailure;
    }
    Later(complete);
    return S_OK;
}

extern "C" __declspec(dllexport) HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return S_FALSE; }

extern "C" __declspec(dllexport) int FakeWebView2Control(const char* request, char* reply, int capacity) {
    const std::string text = ExecuteCommand(request ? request : "");
    if (reply && capacity > 0) {
        const size_t n =
            text.size() < static_cast<size_t>(capacity - 1) ? text.size() : static_cast<size_t>(capacity - 1);
        memcpy(reply, text.data(), n);
        reply[n] = '\0';
    }
    return static_cast<int>(text.size());
}

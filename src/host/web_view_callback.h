// What the main view and the news view share: the COM callback objects the
// runtime calls back through, and small helpers for results and settings.
#pragma once

#include <windows.h>

#include <functional>
#include <utility>

#include "platform/log.h"
#include "webview2/com_ptr.h"
#include "webview2/webview2.h"

namespace vr {

inline unsigned long Code(HRESULT hr) { return static_cast<unsigned long>(hr); }

// For calls whose failure changes nothing we could act on, but is worth a
// line when a view misbehaves.
inline void LogIfFailed(HRESULT hr, const char* call) {
    if (FAILED(hr)) LogFormat("WebView: %s failed 0x%08lx", call, Code(hr));
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

// The views are part of the launcher's own window: no browser context menu,
// status bar, zoom or developer tools. Scripts and web messages stay on.
inline void TurnOffBrowserChrome(ICoreWebView2* view) {
    ComPtr<ICoreWebView2Settings> settings;
    if (FAILED(view->get_Settings(settings.Put())) || !settings) return;
    LogIfFailed(settings->put_AreDefaultContextMenusEnabled(FALSE), "turning off context menus");
    LogIfFailed(settings->put_IsStatusBarEnabled(FALSE), "turning off the status bar");
    LogIfFailed(settings->put_IsZoomControlEnabled(FALSE), "turning off zoom");
    LogIfFailed(settings->put_AreDevToolsEnabled(FALSE), "turning off developer tools");
}

}  // namespace vr

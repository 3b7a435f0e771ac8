#pragma once
// The WebView2 runtime loader: finds a runtime (explicit folder, documented
// environment and policy overrides, installed release channels) and asks its
// client DLL for a browser environment. Nothing else knows how a runtime is
// found.
#include <string>

#include "webview2/webview2.h"

namespace vr {

// Same contract as the SDK's loader entry: a null or empty folder means an
// installed (Evergreen) runtime. A failure HRESULT comes back at once when no
// usable runtime exists (0x80070002); otherwise the handler is called later,
// on this thread, with the environment or an error.
HRESULT CreateCoreWebView2EnvironmentWithOptions(PCWSTR browserExecutableFolder, PCWSTR userDataFolder,
                                                 ICoreWebView2EnvironmentOptions* environmentOptions,
                                                 ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);

// Where a runtime comes from; the value is what the client DLL's environment
// factory is told.
enum class WebView2RuntimeType : int {
    InstalledChannel = 0,  // an Evergreen release channel, found in the registry
    FixedVersion = 1,      // a folder named by the caller, the environment or policy
};

// The runtime the loader would use for these arguments, overrides applied.
struct WebView2Runtime {
    HRESULT result = E_FAIL;  // S_OK when clientDll exists
    std::wstring clientDll;   // ...\EBWebView\x64\EmbeddedBrowserWebView.dll
    WebView2RuntimeType runtimeType = WebView2RuntimeType::InstalledChannel;
    std::wstring userDataFolder;  // empty: the runtime's default
    std::wstring description;     // where it was found, for the log
};
WebView2Runtime FindWebView2Runtime(PCWSTR browserExecutableFolder, PCWSTR userDataFolder);

}  // namespace vr

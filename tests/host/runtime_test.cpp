// Our WebView2 declarations against the ABI, and the runtime loader against
// real registry keys of the test prefix, real folders and the fake's DLL.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_webview2_client.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "text/text.h"
#include "webview2/loader.h"
#include "webview2/webview2.h"

using namespace vr;
using vr::test::FakeWebView2;
using vr::test::ScopedEnv;
using vr::test::TempDir;

namespace {

// A virtual member pointer holds 1 + the method's byte offset in the vtable
// (the Itanium C++ ABI, which g++ follows on Windows too).
template <class Method>
int SlotOf(Method method) {
    uintptr_t raw = 0;
    std::memcpy(&raw, &method, sizeof raw);
    return static_cast<int>((raw - 1) / sizeof(void*));
}

// Every method the launcher calls, with its slot from the ABI sheet (SDK
// 1.0.3351.48): a wrong slot calls another method on Windows.
TEST(WebView2Declarations, EveryMethodWeCallSitsInItsAbiSlot) {
    using W = ICoreWebView2;
    using C = ICoreWebView2Controller;
    using S = ICoreWebView2Settings;
    using M = ICoreWebView2WebMessageReceivedEventArgs;
    using N = ICoreWebView2NavigationCompletedEventArgs;
#define VR_SLOT(I, method) (#method " " + std::to_string(SlotOf(&I::method)) + ", ")
    const std::string declared =
        VR_SLOT(ICoreWebView2Environment, CreateCoreWebView2Controller) + VR_SLOT(C, put_IsVisible) +
        VR_SLOT(C, put_Bounds) + VR_SLOT(C, get_CoreWebView2) + VR_SLOT(W, get_Settings) + VR_SLOT(W, get_Source) +
        VR_SLOT(W, Navigate) + VR_SLOT(W, add_NavigationCompleted) + VR_SLOT(W, AddScriptToExecuteOnDocumentCreated) +
        VR_SLOT(W, PostWebMessageAsJson) + VR_SLOT(W, add_WebMessageReceived) +
        VR_SLOT(ICoreWebView2_3, SetVirtualHostNameToFolderMapping) + VR_SLOT(S, put_IsStatusBarEnabled) +
        VR_SLOT(S, put_AreDevToolsEnabled) + VR_SLOT(S, put_AreDefaultContextMenusEnabled) +
        VR_SLOT(S, put_IsZoomControlEnabled) + VR_SLOT(M, get_Source) + VR_SLOT(M, get_WebMessageAsJson) +
        VR_SLOT(N, get_IsSuccess) + VR_SLOT(N, get_WebErrorStatus);
#undef VR_SLOT
    EXPECT_EQ(declared,
              "CreateCoreWebView2Controller 3, put_IsVisible 4, put_Bounds 6, get_CoreWebView2 25, get_Settings 3, "
              "get_Source 4, Navigate 5, add_NavigationCompleted 15, AddScriptToExecuteOnDocumentCreated 27, "
              "PostWebMessageAsJson 32, add_WebMessageReceived 34, SetVirtualHostNameToFolderMapping 71, "
              "put_IsStatusBarEnabled 10, put_AreDevToolsEnabled 12, put_AreDefaultContextMenusEnabled 14, "
              "put_IsZoomControlEnabled 18, get_Source 3, get_WebMessageAsJson 4, get_IsSuccess 3, "
              "get_WebErrorStatus 4, ");
}

const std::wstring kPolicy = L"Software\\Policies\\Microsoft\\Edge\\WebView2\\";
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// A registry value under a key that is deleted again.
struct RegValue {
    HKEY root;
    std::wstring path;
    REGSAM view;
    RegValue(HKEY r, const std::wstring& p, const std::wstring& name, const std::wstring& value, REGSAM v = 0)
        : root(r), path(p), view(v) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr), 0);
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    ~RegValue() { RegDeleteKeyExW(root, path.c_str(), view, 0); }
};

// A runtime the updater registered for a channel ({GUID}); its folder's name is its version.
struct Installed : RegValue {
    std::wstring dll;
    Installed(const TempDir& dir, HKEY root, const wchar_t* channel, const std::wstring& folder, bool withDll = true)
        : RegValue(root, std::wstring(L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\") + channel, L"EBWebView",
                   dir.Join(folder), KEY_WOW64_32KEY),
          dll(dir.Join(folder + L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll")) {
        if (withDll) dir.Write(folder + L"/EBWebView/x64/EmbeddedBrowserWebView.dll", "MZ");
    }
};

std::wstring Found() { return FindWebView2Runtime(nullptr, nullptr).clientDll; }

// A fixed-version folder; the environment wins over group policy, which wins over the arguments.
TEST(RuntimeLoader, FoldersAndOverrides) {
    const struct {
        std::wstring folder;
        HRESULT result;
    } rows[] = {
        {FakeWebView2::Folder(), S_OK},
        {L"fakes\\fake_webview2\\runtime", S_OK},  // relative to the executable's folder
        {TempDir().path(), kNotFound},             // no client DLL
        {L"C:\\Program Files\\Microsoft\\Edge\\Application\\120.0.0.0", HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)}};
    for (const auto& row : rows) {
        const WebView2Runtime runtime = FindWebView2Runtime(row.folder.c_str(), L"C:\\profile");
        EXPECT_EQ(runtime.result, row.result) << WideToUtf8(row.folder);
        if (row.result != S_OK) continue;
        EXPECT_EQ(runtime.runtimeType, WebView2RuntimeType::FixedVersion);
        EXPECT_EQ(runtime.userDataFolder, L"C:\\profile");
    }
    wchar_t exe[MAX_PATH];
    const std::wstring exeName(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
    const std::wstring app = exeName.substr(exeName.find_last_of(L'\\') + 1);
    RegValue folder(HKEY_CURRENT_USER, kPolicy + L"BrowserExecutableFolder", app, FakeWebView2::Folder());
    EXPECT_EQ(FindWebView2Runtime(L"C:\\nowhere", nullptr).clientDll, FakeWebView2::ClientDll());
    {
        ScopedEnv env(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", L"C:\\env");
        EXPECT_EQ(Found(), L"C:\\env\\EBWebView\\x64\\EmbeddedBrowserWebView.dll");
    }
    auto userData = [] { return FindWebView2Runtime(FakeWebView2::Folder().c_str(), L"C:\\mine").userDataFolder; };
    {  // "*" would mix every application's data in one profile
        RegValue all(HKEY_CURRENT_USER, kPolicy + L"UserDataFolder", L"*", L"C:\\shared");
        EXPECT_EQ(userData(), L"C:\\mine");
    }
    RegValue ours(HKEY_CURRENT_USER, kPolicy + L"UserDataFolder", app, L"C:\\policy");
    EXPECT_EQ(userData(), L"C:\\policy");
    ScopedEnv data(L"WEBVIEW2_USER_DATA_FOLDER", L"D:\\env");
    EXPECT_EQ(userData(), L"D:\\env");
}

TEST(RuntimeLoader, InstalledRuntimesByChannel) {
    TempDir dir;
    EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).result, kNotFound);
    {  // a stale registration and one older than 86.0.616.0 are skipped
        Installed stale(dir, HKEY_LOCAL_MACHINE, L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"120.0.2210.91", false);
        Installed old(dir, HKEY_CURRENT_USER, L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"85.0.564.68");
        EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).result, kNotFound);
    }
    Installed canary(dir, HKEY_CURRENT_USER, L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}", L"123.0.2400.0");
    Installed beta(dir, HKEY_LOCAL_MACHINE, L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}", L"121.0.2277.4");
    Installed user(dir, HKEY_CURRENT_USER, L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"120.0.2210.91");
    EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).runtimeType, WebView2RuntimeType::InstalledChannel);
    EXPECT_EQ(Found(), user.dll);
    {
        Installed machine(dir, HKEY_LOCAL_MACHINE, L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"120.0.2210.92");
        EXPECT_EQ(Found(), machine.dll);
    }
    const struct {
        const wchar_t *name, *value;
        const Installed& want;
    } rows[] = {{L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE", L"1", canary},
                {L"WEBVIEW2_CHANNEL_SEARCH_KIND", L"1", canary},
                {L"WEBVIEW2_RELEASE_CHANNELS", L"1", beta},
                {L"WEBVIEW2_RELEASE_CHANNELS", L"3", canary},
                {L"WEBVIEW2_RELEASE_CHANNELS", L"x", user}};  // names no channel: the stable runtime
    for (const auto& row : rows) {
        ScopedEnv env(row.name, row.value);
        EXPECT_EQ(Found(), row.want.dll) << WideToUtf8(row.name) << "=" << WideToUtf8(row.value);
    }
    RegValue policy(HKEY_CURRENT_USER, kPolicy + L"ReleaseChannelPreference", L"*", L"1");
    EXPECT_EQ(Found(), canary.dll);
}

}  // namespace

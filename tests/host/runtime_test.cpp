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

// Every method the launcher calls or implements, with its slot from the ABI
// sheet (SDK 1.0.3351.48): a wrong slot calls another method on Windows.
TEST(WebView2Declarations, EveryMethodWeUseSitsInItsAbiSlot) {
#define VR_SLOT(I, M, N) \
    { #I "::" #M, SlotOf(&I::M), N }
    const struct {
        const char* name;
        int declared, abi;
    } slots[] = {
        VR_SLOT(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, Invoke, 3),
        VR_SLOT(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, Invoke, 3),
        VR_SLOT(ICoreWebView2WebMessageReceivedEventHandler, Invoke, 3),
        VR_SLOT(ICoreWebView2NavigationCompletedEventHandler, Invoke, 3),
        VR_SLOT(ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler, Invoke, 3),
        VR_SLOT(ICoreWebView2Environment, CreateCoreWebView2Controller, 3),
        VR_SLOT(ICoreWebView2Settings, put_IsStatusBarEnabled, 10),
        VR_SLOT(ICoreWebView2Settings, put_AreDevToolsEnabled, 12),
        VR_SLOT(ICoreWebView2Settings, put_AreDefaultContextMenusEnabled, 14),
        VR_SLOT(ICoreWebView2Settings, put_IsZoomControlEnabled, 18),
        VR_SLOT(ICoreWebView2WebMessageReceivedEventArgs, get_Source, 3),
        VR_SLOT(ICoreWebView2WebMessageReceivedEventArgs, get_WebMessageAsJson, 4),
        VR_SLOT(ICoreWebView2NavigationCompletedEventArgs, get_IsSuccess, 3),
        VR_SLOT(ICoreWebView2NavigationCompletedEventArgs, get_WebErrorStatus, 4),
        VR_SLOT(ICoreWebView2Controller, put_IsVisible, 4),
        VR_SLOT(ICoreWebView2Controller, put_Bounds, 6),
        VR_SLOT(ICoreWebView2Controller, get_CoreWebView2, 25),
        VR_SLOT(ICoreWebView2, get_Settings, 3),
        VR_SLOT(ICoreWebView2, get_Source, 4),
        VR_SLOT(ICoreWebView2, Navigate, 5),
        VR_SLOT(ICoreWebView2, add_NavigationCompleted, 15),
        VR_SLOT(ICoreWebView2, AddScriptToExecuteOnDocumentCreated, 27),
        VR_SLOT(ICoreWebView2, PostWebMessageAsJson, 32),
        VR_SLOT(ICoreWebView2, add_WebMessageReceived, 34),
        VR_SLOT(ICoreWebView2_3, SetVirtualHostNameToFolderMapping, 71),
    };
#undef VR_SLOT
    for (const auto& s : slots) EXPECT_EQ(s.declared, s.abi) << s.name;
}

const wchar_t kStable[] = L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
const wchar_t kBeta[] = L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}";
const wchar_t kCanary[] = L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}";
const std::wstring kPolicy = L"Software\\Policies\\Microsoft\\Edge\\WebView2\\";
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// A registry value under a key that is deleted again.
struct ScopedRegValue {
    HKEY root;
    std::wstring path;
    REGSAM view;
    ScopedRegValue(HKEY r, const std::wstring& p, const std::wstring& name, const std::wstring& value, REGSAM v = 0)
        : root(r), path(p), view(v) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr), 0);
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    ~ScopedRegValue() { RegDeleteKeyExW(root, path.c_str(), view, 0); }
};

// An installed runtime: the updater's registration of a version folder.
struct Installed : ScopedRegValue {
    std::wstring dll;
    Installed(const TempDir& dir, HKEY root, const wchar_t* channel, const std::wstring& name,
              const std::wstring& version, bool withDll = true)
        : ScopedRegValue(root, std::wstring(L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\") + channel, L"EBWebView",
                         dir.Join(name + L"\\" + version), KEY_WOW64_32KEY),
          dll(dir.Join(name + L"\\" + version + L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll")) {
        if (withDll) dir.Write(name + L"/" + version + L"/EBWebView/x64/EmbeddedBrowserWebView.dll", "MZ");
    }
};

std::wstring Found() { return FindWebView2Runtime(nullptr, nullptr).clientDll; }

TEST(RuntimeLoader, FixedVersionFolders) {
    const struct {
        std::wstring folder;
        HRESULT result;
    } rows[] = {
        {FakeWebView2::Folder(), S_OK},
        {L"fakes\\fake_webview2\\runtime", S_OK},  // relative to the executable's folder
        {TempDir().path(), kNotFound},             // no client DLL
        {L"C:\\Program Files\\Microsoft\\Edge\\Application\\120.0.0.0", HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)},
    };
    for (const auto& row : rows) {
        const WebView2Runtime runtime = FindWebView2Runtime(row.folder.c_str(), L"C:\\profile");
        EXPECT_EQ(runtime.result, row.result) << WideToUtf8(row.folder);
        if (row.result != S_OK) continue;
        EXPECT_EQ(runtime.runtimeType, 1);
        EXPECT_NE(GetFileAttributesW(runtime.clientDll.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(runtime.userDataFolder, L"C:\\profile");
    }
}

// The environment wins over group policy, which wins over the arguments.
TEST(RuntimeLoader, OverridesAndTheirOrder) {
    TempDir other;
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring exeName = std::wstring(exe).substr(std::wstring(exe).find_last_of(L'\\') + 1);
    ScopedRegValue folder(HKEY_CURRENT_USER, kPolicy + L"BrowserExecutableFolder", exeName, FakeWebView2::Folder());
    EXPECT_EQ(FindWebView2Runtime(L"C:\\nowhere", nullptr).clientDll, FakeWebView2::ClientDll());
    {
        ScopedEnv env(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", other.path());
        EXPECT_EQ(Found(), other.Join(L"EBWebView\\x64\\EmbeddedBrowserWebView.dll"));
    }
    {  // "*" would mix every application's data in one profile
        ScopedRegValue all(HKEY_CURRENT_USER, kPolicy + L"UserDataFolder", L"*", L"C:\\shared");
        EXPECT_EQ(FindWebView2Runtime(FakeWebView2::Folder().c_str(), L"C:\\mine").userDataFolder, L"C:\\mine");
    }
    ScopedRegValue ours(HKEY_CURRENT_USER, kPolicy + L"UserDataFolder", exeName, L"C:\\policy");
    EXPECT_EQ(FindWebView2Runtime(FakeWebView2::Folder().c_str(), L"C:\\mine").userDataFolder, L"C:\\policy");
    ScopedEnv data(L"WEBVIEW2_USER_DATA_FOLDER", L"D:\\env");
    EXPECT_EQ(FindWebView2Runtime(FakeWebView2::Folder().c_str(), L"C:\\mine").userDataFolder, L"D:\\env");
}

TEST(RuntimeLoader, InstalledRuntimesByChannel) {
    TempDir dir;
    EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).result, kNotFound);
    {  // a stale registration and one older than 86.0.616.0 are skipped
        Installed stale(dir, HKEY_LOCAL_MACHINE, kStable, L"gone", L"120.0.2210.91", false);
        Installed old(dir, HKEY_CURRENT_USER, kStable, L"old", L"85.0.564.68");
        EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).result, kNotFound);
    }
    Installed canary(dir, HKEY_CURRENT_USER, kCanary, L"canary", L"123.0.2400.0");
    Installed beta(dir, HKEY_LOCAL_MACHINE, kBeta, L"beta", L"121.0.2277.4");
    Installed user(dir, HKEY_CURRENT_USER, kStable, L"user", L"120.0.2210.91");
    const WebView2Runtime runtime = FindWebView2Runtime(nullptr, nullptr);
    EXPECT_EQ(runtime.result, S_OK);
    EXPECT_EQ(runtime.runtimeType, 0);
    EXPECT_EQ(runtime.clientDll, user.dll);
    {
        Installed machine(dir, HKEY_LOCAL_MACHINE, kStable, L"machine", L"120.0.2210.91");
        EXPECT_EQ(Found(), machine.dll);
    }
    const struct {
        const wchar_t *name, *value;
        const Installed& want;
    } rows[] = {
        {L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE", L"1", canary},
        {L"WEBVIEW2_CHANNEL_SEARCH_KIND", L"1", canary},
        {L"WEBVIEW2_RELEASE_CHANNELS", L"1", beta},
        {L"WEBVIEW2_RELEASE_CHANNELS", L"3", canary},
        {L"WEBVIEW2_RELEASE_CHANNELS", L"x", user},  // names no channel: the stable runtime
    };
    for (const auto& row : rows) {
        ScopedEnv env(row.name, row.value);
        EXPECT_EQ(Found(), row.want.dll) << WideToUtf8(row.name) << "=" << WideToUtf8(row.value);
    }
    ScopedRegValue policy(HKEY_CURRENT_USER, kPolicy + L"ReleaseChannelPreference", L"*", L"1");
    EXPECT_EQ(Found(), canary.dll);
}

}  // namespace

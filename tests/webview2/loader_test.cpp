// The runtime loader against real registry keys in the test prefix, real
// folders and the fake runtime's real DLL.
#include <gtest/gtest.h>

#include <string>

#include "fake_webview2_client.h"
#include "platform/log.h"
#include "support/temp_dir.h"
#include "text/text.h"
#include "webview2/loader.h"

using namespace vr;
using vr::test::FakeWebView2;
using vr::test::TempDir;

namespace {

const wchar_t kStableGuid[] = L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
const wchar_t kBetaGuid[] = L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}";
const wchar_t kCanaryGuid[] = L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}";
const wchar_t kClientStatePath[] = L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\";
const wchar_t kPolicyPath[] = L"Software\\Policies\\Microsoft\\Edge\\WebView2\\";
const HRESULT kNotFound = static_cast<HRESULT>(0x80070002);

// Sets an environment variable for one test and restores "absent" after it.
struct ScopedEnv {
    std::wstring name;
    ScopedEnv(const wchar_t* n, const std::wstring& value) : name(n) { SetEnvironmentVariableW(n, value.c_str()); }
    ~ScopedEnv() { SetEnvironmentVariableW(name.c_str(), nullptr); }
};

// A registry value under a key the test creates and deletes again.
struct ScopedRegValue {
    HKEY root;
    std::wstring path;
    REGSAM view;
    ScopedRegValue(HKEY r, const std::wstring& p, const std::wstring& name, const std::wstring& value, REGSAM v = 0)
        : root(r), path(p), view(v) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        if (!key) return;
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    ~ScopedRegValue() { RegDeleteKeyExW(root, path.c_str(), view, 0); }
};

// A runtime installed the way the updater lays it out: a version folder
// holding EBWebView\x64\EmbeddedBrowserWebView.dll (the fake's, copied).
std::wstring InstallRuntime(const TempDir& dir, const std::wstring& channel, const std::wstring& version) {
    const std::wstring rel = channel + L"\\Application\\" + version;
    dir.MakeDir(rel + L"\\EBWebView\\x64");
    EXPECT_TRUE(CopyFileW(FakeWebView2::ClientDll().c_str(),
                          dir.Join(rel + L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll").c_str(), FALSE));
    return dir.Join(rel);
}

std::wstring ClientDllIn(const std::wstring& folder) {
    return folder + L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll";
}

struct Registration : ScopedRegValue {
    Registration(HKEY root, const wchar_t* guid, const std::wstring& folder)
        : ScopedRegValue(root, std::wstring(kClientStatePath) + guid, L"EBWebView", folder, KEY_WOW64_32KEY) {}
};

std::wstring ExeFileName() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(p.find_last_of(L'\\') + 1);
}

TEST(RuntimeLoaderFolder, ExplicitFolderIsAFixedVersionRuntime) {
    const WebView2Runtime runtime = FindWebView2Runtime(FakeWebView2::Folder().c_str(), L"C:\\profile");
    EXPECT_EQ(runtime.result, S_OK);
    EXPECT_EQ(runtime.runtimeType, 1);
    EXPECT_EQ(runtime.clientDll, FakeWebView2::ClientDll());
    EXPECT_EQ(runtime.userDataFolder, L"C:\\profile");
}

TEST(RuntimeLoaderFolder, FolderWithoutClientDllIsNotFound) {
    TempDir empty;
    EXPECT_EQ(FindWebView2Runtime(empty.path().c_str(), nullptr).result, kNotFound);
}

TEST(RuntimeLoaderFolder, InstalledEdgeBrowserFolderIsRefused) {
    EXPECT_EQ(FindWebView2Runtime(L"C:\\Program Files\\Microsoft\\Edge\\Application\\120.0.0.0", nullptr).result,
              HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
}

TEST(RuntimeLoaderFolder, RelativeFolderIsTakenFromTheExecutableFolder) {
    // Test executables sit in the tests folder of the build, the fake runtime
    // in tests\fakes\fake_webview2\runtime below it.
    const WebView2Runtime runtime = FindWebView2Runtime(L"fakes\\fake_webview2\\runtime", nullptr);
    EXPECT_EQ(runtime.result, S_OK);
    EXPECT_EQ(runtime.runtimeType, 1);
    EXPECT_EQ(GetFileAttributesW(runtime.clientDll.c_str()) != INVALID_FILE_ATTRIBUTES, true)
        << WideToUtf8(runtime.clientDll);
}

TEST(RuntimeLoaderOverrides, EnvironmentFoldersReplaceTheArguments) {
    ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", FakeWebView2::Folder());
    ScopedEnv data(L"WEBVIEW2_USER_DATA_FOLDER", L"D:\\override");
    const WebView2Runtime runtime = FindWebView2Runtime(L"C:\\nowhere", L"C:\\profile");
    EXPECT_EQ(runtime.result, S_OK);
    EXPECT_EQ(runtime.clientDll, FakeWebView2::ClientDll());
    EXPECT_EQ(runtime.userDataFolder, L"D:\\override");
}

TEST(RuntimeLoaderOverrides, PolicyFolderAppliesUnlessTheEnvironmentSetsOne) {
    TempDir other;
    ScopedRegValue policy(HKEY_CURRENT_USER, std::wstring(kPolicyPath) + L"BrowserExecutableFolder", ExeFileName(),
                          FakeWebView2::Folder());
    EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, FakeWebView2::ClientDll());
    {
        ScopedEnv env(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", other.path());
        EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, ClientDllIn(other.path()));
    }
}

TEST(RuntimeLoaderOverrides, UserDataPolicyNamesTheAppNotAllApps) {
    {
        ScopedRegValue all(HKEY_CURRENT_USER, std::wstring(kPolicyPath) + L"UserDataFolder", L"*", L"C:\\shared");
        EXPECT_EQ(FindWebView2Runtime(FakeWebView2::Folder().c_str(), L"C:\\mine").userDataFolder, L"C:\\mine");
    }
    ScopedRegValue ours(HKEY_CURRENT_USER, std::wstring(kPolicyPath) + L"UserDataFolder", ExeFileName(), L"C:\\policy");
    EXPECT_EQ(FindWebView2Runtime(FakeWebView2::Folder().c_str(), L"C:\\mine").userDataFolder, L"C:\\policy");
}

TEST(RuntimeLoaderRegistry, NothingInstalledIsNotFound) {
    EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).result, kNotFound);
}

TEST(RuntimeLoaderRegistry, StableChannelFirstAndMachineWideBeforePerUser) {
    TempDir dir;
    const std::wstring beta = InstallRuntime(dir, L"beta", L"121.0.2277.4");
    const std::wstring stableUser = InstallRuntime(dir, L"user", L"120.0.2210.91");
    const std::wstring stableMachine = InstallRuntime(dir, L"machine", L"120.0.2210.91");
    Registration betaKey(HKEY_LOCAL_MACHINE, kBetaGuid, beta);
    Registration userKey(HKEY_CURRENT_USER, kStableGuid, stableUser);

    WebView2Runtime runtime = FindWebView2Runtime(nullptr, nullptr);
    EXPECT_EQ(runtime.result, S_OK);
    EXPECT_EQ(runtime.runtimeType, 0);
    EXPECT_EQ(runtime.clientDll, ClientDllIn(stableUser));

    Registration machineKey(HKEY_LOCAL_MACHINE, kStableGuid, stableMachine);
    EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, ClientDllIn(stableMachine));
}

TEST(RuntimeLoaderRegistry, PreferenceAndChannelListChangeTheSearch) {
    TempDir dir;
    const std::wstring stable = InstallRuntime(dir, L"stable", L"120.0.2210.91");
    const std::wstring beta = InstallRuntime(dir, L"beta", L"121.0.2277.4");
    const std::wstring canary = InstallRuntime(dir, L"canary", L"123.0.2400.0");
    Registration stableKey(HKEY_CURRENT_USER, kStableGuid, stable);
    Registration betaKey(HKEY_CURRENT_USER, kBetaGuid, beta);
    Registration canaryKey(HKEY_CURRENT_USER, kCanaryGuid, canary);
    {
        ScopedEnv reverse(L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE", L"1");
        EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, ClientDllIn(canary));
    }
    {
        ScopedEnv reverse(L"WEBVIEW2_CHANNEL_SEARCH_KIND", L"1");
        ScopedEnv channels(L"WEBVIEW2_RELEASE_CHANNELS", L"0,1");
        EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, ClientDllIn(beta));
    }
    {
        ScopedEnv channels(L"WEBVIEW2_RELEASE_CHANNELS", L"3");
        EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, ClientDllIn(canary));
    }
    {
        // An entry that names no channel counts as the runtime itself.
        ScopedEnv channels(L"WEBVIEW2_RELEASE_CHANNELS", L"x");
        EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, ClientDllIn(stable));
    }
    {
        ScopedRegValue policy(HKEY_CURRENT_USER, std::wstring(kPolicyPath) + L"ReleaseChannelPreference", L"*", L"1");
        EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, ClientDllIn(canary));
    }
}

TEST(RuntimeLoaderRegistry, StaleOrTooOldRegistrationsAreSkipped) {
    TempDir dir;
    const std::wstring old = InstallRuntime(dir, L"old", L"85.0.564.68");
    const std::wstring beta = InstallRuntime(dir, L"beta", L"121.0.2277.4");
    Registration stale(HKEY_LOCAL_MACHINE, kStableGuid, dir.Join(L"gone\\Application\\120.0.2210.91"));
    Registration tooOld(HKEY_CURRENT_USER, kStableGuid, old);
    EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).result, kNotFound);
    Registration betaKey(HKEY_CURRENT_USER, kBetaGuid, beta);
    EXPECT_EQ(FindWebView2Runtime(nullptr, nullptr).clientDll, ClientDllIn(beta));
}

// ---- the whole entry point, through the fake runtime's DLL ----

struct EnvironmentResult : ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler {
    LONG refs = 1;
    int calls = 0;
    HRESULT error = S_FALSE;
    ICoreWebView2Environment* environment = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT e, ICoreWebView2Environment* env) override {
        ++calls;
        error = e;
        environment = env;
        return S_OK;
    }
};

TEST(RuntimeLoaderCreate, NoRuntimeFailsAtOnceWithoutCallingTheHandler) {
    TempDir logDir;
    InitLog(logDir.path());
    EnvironmentResult result;
    EXPECT_EQ(CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, &result), kNotFound);
    vr::test::PumpUntil([] { return false; }, 50);
    EXPECT_EQ(result.calls, 0);
    EXPECT_NE(logDir.Read(L"Veltrune.log").find("WebView2Loader: no usable WebView2 runtime is installed"),
              std::string::npos);
    EXPECT_EQ(CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, nullptr), E_POINTER);
}

TEST(RuntimeLoaderCreate, FakeRuntimeDeliversTheEnvironmentLater) {
    TempDir logDir;
    InitLog(logDir.path());
    FakeWebView2 fake;
    ASSERT_TRUE(fake.Loaded());
    EnvironmentResult result;
    ASSERT_EQ(CreateCoreWebView2EnvironmentWithOptions(nullptr, L"C:\\profile", nullptr, &result), S_OK);
    EXPECT_EQ(result.calls, 0);  // never inside the call
    ASSERT_TRUE(vr::test::PumpUntil([&] { return result.calls > 0; }, 20000));
    EXPECT_EQ(result.error, S_OK);
    EXPECT_NE(result.environment, nullptr);
    EXPECT_TRUE(
        fake.Called("CreateWebViewEnvironmentWithOptionsInternal flag=1 type=1 options=0 userData=C:\\profile"));
    EXPECT_NE(
        logDir.Read(L"Veltrune.log").find("WebView2Loader: using runtime folder " + WideToUtf8(FakeWebView2::Folder())),
        std::string::npos);
}

TEST(RuntimeLoaderCreate, RuntimeFailuresReachTheCaller) {
    FakeWebView2 fake;
    fake.Command("SET env.create 0x80004005");
    EnvironmentResult atOnce;
    EXPECT_EQ(CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, &atOnce),
              static_cast<HRESULT>(0x80004005));
    fake.Command("RESET");
    fake.Command("SET env.complete 0x80070005");
    EnvironmentResult later;
    ASSERT_EQ(CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, &later), S_OK);
    ASSERT_TRUE(vr::test::PumpUntil([&] { return later.calls > 0; }, 20000));
    EXPECT_EQ(later.error, static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(later.environment, nullptr);
    vr::test::PumpUntil([] { return false; }, 50);
    EXPECT_EQ(atOnce.calls, 0);
}

}  // namespace

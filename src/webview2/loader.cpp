#include "webview2/loader.h"

#include <shlwapi.h>

#include <array>
#include <cwctype>
#include <optional>
#include <vector>

#include "platform/com.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/registry_key.h"
#include "platform/runtime_function.h"

namespace vr {
namespace {

// Relative to a runtime's version folder (or a fixed-version folder); the
// subfolder follows our own architecture.
const wchar_t kClientDll[] = L"EBWebView\\x64\\EmbeddedBrowserWebView.dll";
const char kFactoryExport[] = "CreateWebViewEnvironmentWithOptionsInternal";

using FactoryFn = HRESULT(STDMETHODCALLTYPE*)(BOOL, int, PCWSTR, ICoreWebView2EnvironmentOptions*,
                                              ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*);

struct Channel {
    const wchar_t* name;
    const wchar_t* guid;  // EdgeUpdate client id
};
// Most stable first: the default search order.
constexpr std::array<Channel, 5> kChannels = {{
    {L"WebView2 Runtime", L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"},
    {L"Beta", L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}"},
    {L"Dev", L"{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}"},
    {L"Canary", L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}"},
    {L"Internal", L"{BE59E8FD-089A-411B-A3B0-051D9E417818}"},
}};

// Runtimes older than this lack interfaces every host relies on.
constexpr std::array<unsigned, 4> kMinimumVersion = {86, 0, 616, 0};

std::optional<std::wstring> EnvironmentValue(const wchar_t* name) {
    wchar_t small[512];
    DWORD n = GetEnvironmentVariableW(name, small, 512);
    if (n == 0) return std::nullopt;  // absent (or empty, which overrides nothing)
    if (n < 512) return std::wstring(small, n);
    std::wstring big(n, L'\0');
    n = GetEnvironmentVariableW(name, big.data(), n);
    big.resize(n);
    if (big.empty()) return std::nullopt;
    return big;
}

// The process's explicit AppUserModelID, if it set one. Looked up at run
// time so a system without the function still loads us.
std::optional<std::wstring> AppUserModelId() {
    using Fn = HRESULT(WINAPI*)(PWSTR*);
    const auto fn = LookupFunction<Fn>(L"shell32.dll", "GetCurrentProcessExplicitAppUserModelID", true);
    if (!fn) return std::nullopt;
    CoTaskMemString id;
    if (FAILED(fn(id.Put())) || !id || id.get()[0] == L'\0') return std::nullopt;
    return std::wstring(id.get());
}

// Group policy: one key per setting, HKLM before HKCU; the value name picks
// the application (AppUserModelID, then the exe file name, then "*" for all,
// where the setting allows it).
std::optional<std::wstring> PolicyValue(const wchar_t* setting, bool allowAllApps) {
    std::vector<std::wstring> names;
    if (auto id = AppUserModelId()) names.push_back(*id);
    names.push_back(PathFindFileNameW(GetExePath().c_str()));
    if (allowAllApps) names.push_back(L"*");
    const std::wstring path = std::wstring(L"Software\\Policies\\Microsoft\\Edge\\WebView2\\") + setting;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        RegistryKey key(root, path, KEY_READ);
        if (!key.IsOpen()) continue;
        for (const auto& name : names)
            if (auto value = key.ReadText(name)) return value;
    }
    return std::nullopt;
}

// A present environment variable wins over policy, which wins over the
// caller's argument.
std::optional<std::wstring> Override(const wchar_t* variable, const wchar_t* policy, bool allowAllApps) {
    if (auto value = EnvironmentValue(variable)) return value;
    return PolicyValue(policy, allowAllApps);
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Trailing separators of either kind dropped, so that JoinPath adds one.
std::wstring WithoutTrailingSeparators(std::wstring folder) {
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder;
}

// "a.b.c.d", four decimal parts; anything else is not a runtime version.
std::optional<std::array<unsigned, 4>> ParseVersion(const std::wstring& text) {
    std::array<unsigned, 4> parts{};
    size_t i = 0;
    for (size_t part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != L'.') return std::nullopt;
            ++i;
        }
        const size_t start = i;
        unsigned value = 0;
        while (i < text.size() && text[i] >= L'0' && text[i] <= L'9' && i - start < 9)
            value = value * 10 + (text[i++] - L'0');
        if (i == start) return std::nullopt;
        parts[part] = value;
    }
    if (i != text.size()) return std::nullopt;
    return parts;
}

// Channel order: "1" searches least stable first. The newer variable wins
// over the older one, and either over policy.
bool LeastStableFirst() {
    std::optional<std::wstring> kind = EnvironmentValue(L"WEBVIEW2_CHANNEL_SEARCH_KIND");
    if (!kind) kind = EnvironmentValue(L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE");
    if (!kind) kind = PolicyValue(L"ChannelSearchKind", true);
    if (!kind) kind = PolicyValue(L"ReleaseChannelPreference", true);
    return kind && *kind == L"1";
}

// Bit n set: channel n may be used. A comma list of 0..3; entries that are
// not one of those count as 0 (the runtime itself).
unsigned ChannelMask() {
    auto list = Override(L"WEBVIEW2_RELEASE_CHANNELS", L"ReleaseChannels", true);
    if (!list) return (1u << kChannels.size()) - 1;  // every channel
    unsigned mask = 0;
    size_t start = 0;
    while (start <= list->size()) {
        size_t end = list->find(L',', start);
        if (end == std::wstring::npos) end = list->size();
        std::wstring item = list->substr(start, end - start);
        while (!item.empty() && iswspace(item.back())) item.pop_back();
        while (!item.empty() && iswspace(item.front())) item.erase(item.begin());
        int channel = 0;
        if (item.size() == 1 && item[0] >= L'0' && item[0] <= L'3') channel = item[0] - L'0';
        mask |= 1u << channel;
        start = end + 1;
    }
    return mask;
}

// One channel's registration: the value names the version folder. A stale
// value (an interrupted update removed the folder) or a too-old version is
// skipped, so the search goes on.
std::optional<std::wstring> ChannelClientDll(HKEY root, const Channel& channel) {
    RegistryKey key(root, std::wstring(L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\") + channel.guid,
                    KEY_READ | KEY_WOW64_32KEY);
    auto folder = key.ReadText(L"EBWebView");
    if (!folder || folder->empty()) return std::nullopt;
    *folder = WithoutTrailingSeparators(*folder);
    auto version = ParseVersion(PathFindFileNameW(folder->c_str()));
    if (!version || *version < kMinimumVersion) return std::nullopt;
    std::wstring dll = JoinPath(*folder, kClientDll);
    if (!FileExists(dll)) return std::nullopt;
    return dll;
}

}  // namespace

WebView2Runtime FindWebView2Runtime(PCWSTR browserExecutableFolder, PCWSTR userDataFolder) {
    WebView2Runtime runtime;

    std::wstring folder = browserExecutableFolder ? browserExecutableFolder : L"";
    if (auto value = Override(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", L"BrowserExecutableFolder", true)) folder = *value;
    // The "*" entry does not apply to the data folder: one profile folder
    // shared by every application would mix their data.
    runtime.userDataFolder = userDataFolder ? userDataFolder : L"";
    if (auto value = Override(L"WEBVIEW2_USER_DATA_FOLDER", L"UserDataFolder", false)) runtime.userDataFolder = *value;

    if (!folder.empty()) {
        std::wstring lower = folder;
        for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
        // An installed Edge browser is not a fixed-version runtime.
        if (lower.find(L"\\edge\\application\\") != std::wstring::npos) {
            runtime.result = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
            return runtime;
        }
        if (PathIsRelativeW(folder.c_str())) {
            std::wstring exe = GetExePath();
            exe.resize(exe.size() - wcslen(PathFindFileNameW(exe.c_str())));
            folder = JoinPath(exe, folder);
        }
        runtime.runtimeType = WebView2RuntimeType::FixedVersion;
        runtime.clientDll = JoinPath(WithoutTrailingSeparators(folder), kClientDll);
        runtime.description = L"fixed-version folder " + folder;
        runtime.result = FileExists(runtime.clientDll) ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        return runtime;
    }

    const bool reverse = LeastStableFirst();
    const unsigned mask = ChannelMask();
    for (size_t n = 0; n < kChannels.size(); ++n) {
        const size_t index = reverse ? kChannels.size() - 1 - n : n;
        if (!(mask & (1u << index))) continue;
        // Machine-wide before per-user, as the official search does.
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            if (auto dll = ChannelClientDll(root, kChannels[index])) {
                runtime.clientDll = *dll;
                runtime.runtimeType = WebView2RuntimeType::InstalledChannel;
                runtime.description = std::wstring(kChannels[index].name) +
                                      (root == HKEY_LOCAL_MACHINE ? L", machine-wide" : L", per-user");
                runtime.result = S_OK;
                return runtime;
            }
        }
    }
    runtime.result = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return runtime;
}

HRESULT CreateCoreWebView2EnvironmentWithOptions(PCWSTR browserExecutableFolder, PCWSTR userDataFolder,
                                                 ICoreWebView2EnvironmentOptions* environmentOptions,
                                                 ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    if (!handler) return E_POINTER;
    WebView2Runtime runtime = FindWebView2Runtime(browserExecutableFolder, userDataFolder);
    if (FAILED(runtime.result)) {
        if (runtime.clientDll.empty()) LogLine("WebView2Loader: no usable WebView2 runtime is installed");
        else LogFormat("WebView2Loader: no runtime client at %ls", runtime.clientDll.c_str());
        return runtime.result;
    }
    std::wstring runtimeFolder = runtime.clientDll.substr(0, runtime.clientDll.size() - wcslen(kClientDll) - 1);
    LogFormat("WebView2Loader: using runtime folder %ls (%ls)", runtimeFolder.c_str(), runtime.description.c_str());

    // The runtime reads extra browser arguments from its environment; the
    // policy's value is handed on that way when the variable is not set.
    if (!EnvironmentValue(L"WEBVIEW2_ADDITIONAL_BROWSER_ARGUMENTS")) {
        if (auto arguments = PolicyValue(L"AdditionalBrowserArguments", true))
            if (!SetEnvironmentVariableW(L"WEBVIEW2_ADDITIONAL_BROWSER_ARGUMENTS", arguments->c_str()))
                LogFormat("WebView2Loader: policy browser arguments not passed on (err %lu)", GetLastError());
    }

    // Its own dependencies sit beside it. Never freed: the runtime keeps
    // itself loaded while any of its objects is in use.
    HMODULE module = LoadLibraryExW(runtime.clientDll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        const DWORD error = GetLastError();
        LogFormat("WebView2Loader: cannot load %ls (err %lu)", runtime.clientDll.c_str(), error);
        return HRESULT_FROM_WIN32(error);
    }
    const auto factory = LookupFunction<FactoryFn>(module, kFactoryExport);
    if (!factory) {
        const DWORD error = GetLastError();
        LogFormat("WebView2Loader: %ls has no environment factory (err %lu)", runtime.clientDll.c_str(), error);
        return HRESULT_FROM_WIN32(error);
    }
    // The first argument's meaning is undocumented; every known caller passes 1.
    return factory(TRUE, static_cast<int>(runtime.runtimeType),
                   runtime.userDataFolder.empty() ? nullptr : runtime.userDataFolder.c_str(), environmentOptions,
                   handler);
}

}  // namespace vr

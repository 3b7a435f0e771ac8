// e2e_probe.exe: what the tests driving the real exe cannot see from Linux. It looks
// at the windows of one running Veltrune.exe (picked by its image path, since
// other tests may have windows of the same class open in the same session),
// answers its message boxes, and reads the executable's resources.
//
//   e2e_probe window   <exe> <timeout_ms>   host window rectangle, client size, DPI, style
//   e2e_probe count    <exe>                host windows of that process (no wait)
//   e2e_probe close    <exe> <timeout_ms>   posts WM_CLOSE to the host window
//   e2e_probe dialog   <exe> <timeout_ms>   prints a "Veltrune" box's text, presses OK
//   e2e_probe resources <exe>               manifest, icon group 1, version resource
//
// Output is UTF-8 lines "key=value"; texts escape backslash, CR and LF. The
// exit code is 0 on success, 1 when the thing looked for never appeared.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

// The image path of a window's process, lower case; Wine may prefix it with
// the NT namespace, so callers compare the tail only.
std::wstring ImageOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return {};
    wchar_t path[1024];
    DWORD size = 1024;
    std::wstring result;
    if (QueryFullProcessImageNameW(process, 0, path, &size)) result = Lower(std::wstring(path, size));
    CloseHandle(process);
    return result;
}

bool SameImage(HWND window, const std::wstring& exe) {
    const std::wstring image = ImageOf(window);
    const std::wstring want = Lower(exe);
    return !image.empty() && image.size() >= want.size() &&
           image.compare(image.size() - want.size(), want.size(), want) == 0;
}

struct Search {
    const wchar_t* className;
    const wchar_t* title;  // null: any
    std::wstring exe;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    wchar_t name[256] = L"";
    GetClassNameW(window, name, 256);
    if (wcscmp(name, search->className) != 0) return TRUE;
    if (search->title) {
        wchar_t title[256] = L"";
        GetWindowTextW(window, title, 256);
        if (wcscmp(title, search->title) != 0) return TRUE;
    }
    if (SameImage(window, search->exe)) search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> FindWindows(const wchar_t* className, const wchar_t* title, const std::wstring& exe) {
    Search search{className, title, exe, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits in 50 ms steps, so a slow machine only makes it slower.
HWND WaitForWindow(const wchar_t* className, const wchar_t* title, const std::wstring& exe, int timeoutMs) {
    for (int waited = 0;; waited += 50) {
        const auto found = FindWindows(className, title, exe);
        if (!found.empty()) return found.front();
        if (waited >= timeoutMs) return nullptr;
        Sleep(50);
    }
}

UINT DpiOf(HWND window) {
    using Fn = UINT(WINAPI*)(HWND);
    const auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    return fn ? fn(window) : 0;
}

int Window(const std::wstring& exe, int timeoutMs) {
    HWND window = WaitForWindow(L"VeltruneHostWindow", nullptr, exe, timeoutMs);
    if (!window) {
        std::printf("error=no host window\n");
        return 1;
    }
    RECT rect{}, client{}, work{};
    GetWindowRect(window, &rect);
    GetClientRect(window, &client);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    wchar_t title[256] = L"";
    GetWindowTextW(window, title, 256);
    std::printf("rect=%ld,%ld,%ld,%ld\n", rect.left, rect.top, rect.right, rect.bottom);
    std::printf("client=%ld,%ld\n", client.right - client.left, client.bottom - client.top);
    std::printf("work=%ld,%ld,%ld,%ld\n", work.left, work.top, work.right, work.bottom);
    std::printf("dpi=%u\n", DpiOf(window));
    std::printf("style=0x%08lx\nexstyle=0x%08lx\n", static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)));
    std::printf("title=%s\n", Escaped(Utf8(title)).c_str());
    return 0;
}

int Count(const std::wstring& exe) {
    std::printf("count=%zu\n", FindWindows(L"VeltruneHostWindow", nullptr, exe).size());
    return 0;
}

int Close(const std::wstring& exe, int timeoutMs) {
    HWND window = WaitForWindow(L"VeltruneHostWindow", nullptr, exe, timeoutMs);
    if (!window) {
        std::printf("error=no host window\n");
        return 1;
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    std::printf("closed=1\n");
    return 0;
}

BOOL CALLBACK CollectChildren(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

struct BoxContents {
    std::wstring message;
    int buttons = 0;
    HWND ok = nullptr;
};

BoxContents ReadBox(HWND dialog) {
    std::vector<HWND> children;
    EnumChildWindows(dialog, CollectChildren, reinterpret_cast<LPARAM>(&children));
    // The box's message is its longest static text; the icon is a static too.
    BoxContents box;
    for (HWND child : children) {
        wchar_t name[64] = L"";
        GetClassNameW(child, name, 64);
        wchar_t text[2048] = L"";
        GetWindowTextW(child, text, 2048);
        if (_wcsicmp(name, L"Static") == 0 && wcslen(text) > box.message.size()) box.message = text;
        if (_wcsicmp(name, L"Button") == 0 && IsWindowVisible(child)) {
            ++box.buttons;
            if (GetDlgCtrlID(child) == IDOK) box.ok = child;
        }
    }
    return box;
}

int Dialog(const std::wstring& exe, int timeoutMs) {
    HWND dialog = WaitForWindow(L"#32770", L"Veltrune", exe, timeoutMs);
    if (!dialog) {
        std::printf("error=no message box\n");
        return 1;
    }
    // The box exists before it is shown and laid out: wait (bounded) until
    // its OK button is visible, so the reading is of the box the user sees.
    BoxContents box = ReadBox(dialog);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    while ((!IsWindowVisible(dialog) || !box.ok) && GetTickCount64() < deadline) {
        Sleep(50);
        box = ReadBox(dialog);
    }
    std::printf("text=%s\nbuttons=%d\n", Escaped(Utf8(box.message)).c_str(), box.buttons);
    std::fflush(stdout);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(box.ok));
    std::printf("pressed=1\n");
    return 0;
}

std::string ResourceBytes(HMODULE module, LPCWSTR type, LPCWSTR name) {
    HRSRC info = FindResourceW(module, name, type);
    if (!info) return {};
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return {};
    return std::string(static_cast<const char*>(data), SizeofResource(module, info));
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

int Resources(const std::wstring& exe) {
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        std::printf("error=cannot load %s (%lu)\n", Escaped(Utf8(exe)).c_str(), GetLastError());
        return 1;
    }
    std::printf("manifest=%s\n", Escaped(ResourceBytes(module, RT_MANIFEST, MAKEINTRESOURCEW(1))).c_str());

    const std::string group = ResourceBytes(module, RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    std::string sizes;
    if (group.size() >= 6) {
        const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
        for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(IconGroupEntry) <= group.size(); ++i) {
            const auto* entry = reinterpret_cast<const IconGroupEntry*>(group.data() + 6 + i * sizeof(IconGroupEntry));
            const int width = entry->width ? entry->width : 256;
            const bool present = !ResourceBytes(module, RT_ICON, MAKEINTRESOURCEW(entry->id)).empty();
            if (!sizes.empty()) sizes += ',';
            sizes += std::to_string(width);
            if (!present) sizes += "(missing)";
        }
    }
    std::printf("icons=%s\n", sizes.c_str());
    FreeLibrary(module);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    std::vector<BYTE> version(size);
    if (size && GetFileVersionInfoW(exe.c_str(), 0, size, version.data())) {
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed)
            std::printf("fileversion=%u.%u.%u.%u\n", static_cast<unsigned>(HIWORD(fixed->dwFileVersionMS)),
                        static_cast<unsigned>(LOWORD(fixed->dwFileVersionMS)),
                        static_cast<unsigned>(HIWORD(fixed->dwFileVersionLS)),
                        static_cast<unsigned>(LOWORD(fixed->dwFileVersionLS)));
        struct Translation {
            WORD language, codePage;
        }* translations = nullptr;
        if (VerQueryValueW(version.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                           &length) &&
            length >= sizeof(Translation)) {
            wchar_t query[128];
            swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\ProductName", translations[0].language,
                     translations[0].codePage);
            wchar_t* value = nullptr;
            if (VerQueryValueW(version.data(), query, reinterpret_cast<void**>(&value), &length) && value)
                std::printf("ProductName=%s\n", Escaped(Utf8(value)).c_str());
        }
    } else {
        std::printf("fileversion=\n");
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Physical pixels of a per-monitor aware window need a per-monitor aware
    // reader; an unaware one would get scaled coordinates.
    using SetContextFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    if (auto set = reinterpret_cast<SetContextFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext"))))
        set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

    if (argc < 3) {
        std::fprintf(stderr, "usage: e2e_probe window|count|close|dialog|resources <exe> [timeout_ms]\n");
        return 2;
    }
    const std::wstring command = argv[1];
    const std::wstring exe = argv[2];
    const int timeoutMs = argc > 3 ? _wtoi(argv[3]) : 0;
    int code = 2;
    if (command == L"window") code = Window(exe, timeoutMs);
    else if (command == L"count") code = Count(exe);
    else if (command == L"close") code = Close(exe, timeoutMs);
    else if (command == L"dialog") code = Dialog(exe, timeoutMs);
    else if (command == L"resources") code = Resources(exe);
    std::fflush(stdout);
    return code;
}

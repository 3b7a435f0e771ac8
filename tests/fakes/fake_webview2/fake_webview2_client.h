#pragma once
// In-process driver of the fake WebView2 runtime for unit tests. Loads the
// fake's DLL by its full path (the same module the launcher's loader loads),
// points WEBVIEW2_BROWSER_EXECUTABLE_FOLDER at it, and speaks the control
// protocol documented in fake_webview2.cpp. Resets the fake on both ends.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace vr::test {

class FakeWebView2 {
public:
    // The runtime folder as a Windows path (the build gives a Unix one).
    static std::wstring Folder() {
        std::string unix = VR_FAKE_WEBVIEW2_FOLDER;
        std::wstring path = L"Z:";
        for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
        return path;
    }
    static std::wstring ClientDll() { return Folder() + L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll"; }

    FakeWebView2() {
        module_ = LoadLibraryW(ClientDll().c_str());
        if (module_)
            control_ =
                reinterpret_cast<ControlFn>(reinterpret_cast<void*>(GetProcAddress(module_, "FakeWebView2Control")));
        SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder().c_str());
        Command("RESET");
    }
    ~FakeWebView2() {
        Command("RESET");
        SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", nullptr);
        if (module_) FreeLibrary(module_);
    }
    FakeWebView2(const FakeWebView2&) = delete;
    FakeWebView2& operator=(const FakeWebView2&) = delete;

    bool Loaded() const { return control_ != nullptr; }

    // The whole reply ("OK ...", "ERR ...", list lines after LF).
    std::string Command(const std::string& request) const {
        if (!control_) return "ERR fake runtime not loaded";
        std::string reply(256, '\0');
        int n = control_(request.c_str(), reply.data(), static_cast<int>(reply.size()));
        if (n >= static_cast<int>(reply.size())) {
            reply.assign(n + 1, '\0');
            n = control_(request.c_str(), reply.data(), static_cast<int>(reply.size()));
        }
        reply.resize(n);
        return reply;
    }

    // The lines of a list reply, unescaped.
    std::vector<std::string> List(const std::string& request) const {
        std::vector<std::string> lines;
        const std::string reply = Command(request);
        size_t pos = reply.find('\n');
        while (pos != std::string::npos) {
            const size_t next = reply.find('\n', pos + 1);
            lines.push_back(
                Unescape(reply.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1)));
            pos = next;
        }
        return lines;
    }

    std::vector<std::string> Calls() const { return List("CALLS"); }
    std::vector<std::string> Views() const { return List("VIEWS"); }
    std::vector<std::string> Scripts(int view) const { return List("SCRIPTS " + std::to_string(view)); }

    // The child window of a view, from the VIEWS listing.
    HWND ViewWindow(int view) const {
        const auto views = Views();
        if (view < 0 || view >= static_cast<int>(views.size())) return nullptr;
        const std::string& line = views[view];
        const size_t at = line.find("hwnd=");
        return reinterpret_cast<HWND>(static_cast<uintptr_t>(strtoull(line.c_str() + at + 5, nullptr, 16)));
    }

    // Whether any recorded call equals line, or (prefix) begins with it.
    bool Called(const std::string& line, bool prefix = false) const { return IndexOf(line, prefix) >= 0; }
    int IndexOf(const std::string& line, bool prefix = false) const {
        const auto calls = Calls();
        for (size_t i = 0; i < calls.size(); ++i)
            if (prefix ? calls[i].rfind(line, 0) == 0 : calls[i] == line) return static_cast<int>(i);
        return -1;
    }

    static std::string Unescape(const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                const char c = text[++i];
                out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
            } else {
                out += text[i];
            }
        }
        return out;
    }

private:
    using ControlFn = int (*)(const char*, char*, int);
    HMODULE module_ = nullptr;
    ControlFn control_ = nullptr;
};

// Pumps this thread's messages until done() holds or about timeoutMs passed
// (counted in 10 ms waits, so a slow machine only makes it slower).
template <class Done>
bool PumpUntil(Done done, int timeoutMs = 5000) {
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

}  // namespace vr::test

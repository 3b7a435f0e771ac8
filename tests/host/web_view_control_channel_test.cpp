// The fake runtime's loopback control channel, driven the way an end-to-end
// harness drives the launcher: from another thread over TCP, while the UI
// thread runs its message loop and the real web views answer.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fake_webview2_client.h"
#include "host/web_view.h"
#include "platform/log.h"
#include "support/temp_dir.h"

using namespace vr;
using vr::test::FakeWebView2;
using vr::test::PumpUntil;
using vr::test::TempDir;

namespace {

class ControlClient {
public:
    explicit ControlClient(int port) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(port));
        connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        DWORD timeout = 30000;  // a dead server fails the test instead of hanging it
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    }
    ~ControlClient() {
        closesocket(socket_);
        WSACleanup();
    }
    bool connected() const { return connected_; }

    // One reply line.
    std::string Request(const std::string& line) {
        const std::string text = line + "\n";
        send(socket_, text.data(), static_cast<int>(text.size()), 0);
        return ReadLine();
    }
    // A list reply: its lines.
    std::vector<std::string> List(const std::string& line) {
        std::vector<std::string> lines;
        const std::string head = Request(line);
        if (head.rfind("OK ", 0) != 0) return lines;
        const int n = atoi(head.c_str() + 3);
        for (int i = 0; i < n; ++i) lines.push_back(ReadLine());
        return lines;
    }

private:
    std::string ReadLine() {
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            char buffer[1024];
            const int n = recv(socket_, buffer, sizeof buffer, 0);
            if (n <= 0) return "ERR connection lost";
            pending_.append(buffer, n);
        }
    }
    SOCKET socket_ = INVALID_SOCKET;
    bool connected_ = false;
    std::string pending_;
};

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(FakeRuntimeControlChannel, HarnessDrivesTheViewsOverLoopback) {
    TempDir dir;
    InitLog(dir.path());
    const std::wstring portFile = dir.Join(L"port.txt");
    SetEnvironmentVariableW(L"VR_FAKE_WEBVIEW2_PORT_FILE", portFile.c_str());
    SetEnvironmentVariableW(L"VR_FAKE_WEBVIEW2_PORT", L"0");
    FakeWebView2 fake;

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PlainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VrControlChannelTestWindow";
    RegisterClassExW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"test", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 800, 600,
                                  nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window, nullptr);

    std::vector<std::wstring> messages;
    {
        WebView view;
        ASSERT_TRUE(view.Create(window, {L"C:\\profile", L"C:\\web", L"https://game.example/index.html", L"", L"",
                                         L"https://game.example/news", L"", [&](const std::wstring& json) {
                                             messages.push_back(json);
                                             // Answer the page the way the bridge does: later, from the UI thread.
                                             view.PostJson(LR"({"event":"init"})");
                                         }}));
        ASSERT_TRUE(PumpUntil([&] { return !dir.Read(L"port.txt").empty(); }, 20000));
        const int port = atoi(dir.Read(L"port.txt").c_str());
        ASSERT_GT(port, 0);

        std::atomic<bool> done{false};
        std::vector<std::string> replies;
        std::vector<std::string> views, calls;
        std::thread harness([&] {
            ControlClient client(port);
            if (client.connected()) {
                replies.push_back(client.Request("PING"));
                replies.push_back(client.Request("WAITVIEWS 2 20000"));
                views = client.List("VIEWS");
                replies.push_back(client.Request(R"(MESSAGE 0 https://game.example/index.html {"cmd":"ui.ready"})"));
                replies.push_back(client.Request("POSTED 0 20000"));
                replies.push_back(client.Request("POSTED 0 0"));
                replies.push_back(client.Request("NAVCOMPLETE 1 0 7"));
                calls = client.List("CALLS");
                replies.push_back(client.Request("BOGUS"));
            }
            done = true;
        });
        PumpUntil([&] { return done.load(); }, 60000);
        harness.join();

        const std::vector<std::string> expected = {
            "OK", "OK 2", "OK 1", R"(OK {"event":"init"})", "ERR timeout", "OK 1", "ERR unknown command",
        };
        EXPECT_EQ(replies, expected);
        ASSERT_EQ(views.size(), 2u);
        EXPECT_NE(views[0].find("url=https://game.example/index.html"), std::string::npos) << views[0];
        EXPECT_NE(views[1].find("visible=0"), std::string::npos) << views[1];
        EXPECT_EQ(messages, std::vector<std::wstring>{LR"({"cmd":"ui.ready"})"});
        bool sawPost = false;
        for (const auto& call : calls) sawPost = sawPost || call == R"(view 0 PostWebMessageAsJson {"event":"init"})";
        EXPECT_TRUE(sawPost);
        EXPECT_NE(dir.Read(L"Veltrune.log")
                      .find("WebView: news navigation FAILED (webErrorStatus=7) for https://game.example/news"),
                  std::string::npos);
    }
    DestroyWindow(window);
    SetEnvironmentVariableW(L"VR_FAKE_WEBVIEW2_PORT_FILE", nullptr);
    SetEnvironmentVariableW(L"VR_FAKE_WEBVIEW2_PORT", nullptr);
    InitLog(L"");
}

}  // namespace

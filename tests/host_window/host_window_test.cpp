// The real host window under Xvfb with the fake runtime: DPI changes, and
// requests from other threads before, during and after the window's life.
#include "host/host_window.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fake_webview2_client.h"
#include "platform/log.h"
#include "support/temp_dir.h"

using namespace vr;
using vr::test::FakeWebView2;
using vr::test::PumpUntil;

namespace {

TEST(HostWindowTest, BeforeCreateRequestsAreDroppedInsteadOfBecomingThreadMessages) {
    HostWindow unborn;
    unborn.PostToPage(L"{\"evt\":\"init\"}");
    unborn.NavigateNews(L"https://news.example/news.php");
    unborn.Minimize();
    unborn.BeginDrag();
    unborn.Close();
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP + 0x100, PM_REMOVE));
}

TEST(HostWindowTest, DpiChangesAndRequestsFromAnotherThread) {
    vr::test::TempDir dir;
    InitLog(dir.path());
    FakeWebView2 fake;
    ASSERT_TRUE(fake.Loaded());
    HostWindow host;
    HostWindowOptions options;
    options.instance = GetModuleHandleW(nullptr);
    options.view = {dir.Join(L"profile"), dir.Join(L"web"),          L"https://veltrune-ui.example/index.html",
                    L"client-assets",     dir.Join(L"assets"),       L"https://news.example/news.php",
                    L".content",          [](const std::wstring&) {}};
    ASSERT_TRUE(host.Create(std::move(options)));
    ASSERT_TRUE(PumpUntil([&] { return fake.Called("view 1 Navigate ", true); }, 30000));
    const auto calls = [&fake](const std::string& prefix) {
        std::vector<std::string> found;
        for (const auto& call : fake.Calls()) {
            if (call.rfind(prefix, 0) == 0) found.push_back(call.substr(prefix.size()));
        }
        return found;
    };
    const auto last = [&](const std::string& prefix) { return calls(prefix).empty() ? "-" : calls(prefix).back(); };
    const auto changeDpi = [&host](int dpi, int left = 0, int top = 0) {
        RECT suggested{left, top, left + MulDiv(kHostWidth, dpi, 96), top + MulDiv(kHostHeight, dpi, 96)};
        SendMessageW(host.Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    };

    changeDpi(120, 100, 50);  // the window takes the suggested rectangle, the main view follows
    RECT now{};
    GetWindowRect(host.Handle(), &now);
    EXPECT_EQ((std::vector<LONG>{now.left, now.top, now.right, now.bottom}), (std::vector<LONG>{100, 50, 1630, 1015}));
    EXPECT_TRUE(PumpUntil([&] { return fake.Called("controller 0 put_Bounds 0,0,1530,965"); }, 30000));
    EXPECT_EQ(last("controller 1 put_Bounds "), "-");  // no area reported yet: nothing placed, still hidden
    EXPECT_EQ(last("controller 1 put_IsVisible "), "0");

    // The page's area is in CSS pixels and not reported again when only the DPI changes.
    changeDpi(96);  // the tests' prefix: page pixels are device pixels
    host.SetNewsRect(10, 20, 101, 50, true);
    EXPECT_EQ(last("controller 1 put_Bounds "), "10,20,111,70");
    changeDpi(144);
    EXPECT_EQ(last("controller 1 put_Bounds "), "15,30,167,105");  // 166.5 rounds up
    EXPECT_EQ(last("controller 1 put_IsVisible "), "1");
    host.SetNewsRect(10, 20, 101, 50, false);  // a hidden view stays hidden across the change
    const size_t placements = calls("controller 1 put_Bounds ").size();
    changeDpi(96);
    EXPECT_EQ(calls("controller 1 put_Bounds ").size(), placements);
    EXPECT_EQ(last("controller 1 put_IsVisible "), "0");
    host.Minimize();
    EXPECT_TRUE(PumpUntil([&] { return IsIconic(host.Handle()) != FALSE; }, 30000));

    std::thread([&host] {
        for (const wchar_t* json : {L"{\"n\":1}", L"{\"n\":2}", L"{\"n\":3}"}) host.PostToPage(json);
        host.NavigateNews(L"https://news.example/rankings.php");
        host.Close();
    }).join();
    int exitCode = -1;
    for (int waited = 0; exitCode < 0 && waited < 30000; waited += 10) {
        MSG msg;
        while (exitCode < 0 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) exitCode = static_cast<int>(msg.wParam);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(IsWindow(host.Handle()));
    const std::vector<std::string> posted = {R"({"n":1})", R"({"n":2})", R"({"n":3})"};
    EXPECT_EQ(calls("view 0 PostWebMessageAsJson "), posted);
    EXPECT_EQ(last("view 1 Navigate "), "https://news.example/rankings.php");

    std::thread([&host] {  // the window is gone: later requests have no effect
        host.PostToPage(L"{\"n\":4}");
        host.NavigateNews(L"https://news.example/late.php");
        host.Close();
    })
        .join();
    MSG msg;  // the thread has ended: whatever it got posted is in the queue now
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP + 0x100, PM_NOREMOVE));
    EXPECT_EQ(calls("view 0 PostWebMessageAsJson "), posted);
    EXPECT_EQ(last("view 1 Navigate "), "https://news.example/rankings.php");
    InitLog(L"");
}

}  // namespace

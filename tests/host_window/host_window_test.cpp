// The real host window, shown under Xvfb, with the real loader and the fake
// runtime in process: what other threads ask of it arrives in order on the UI
// thread, what comes too early or too late is dropped, and a DPI change moves
// the window with the main view following.
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
using vr::test::TempDir;

namespace {

const std::wstring kStartUrl = L"https://veltrune-ui.example/index.html";
const std::wstring kNewsUrl = L"https://news.veltrune.example/news.php";
const std::wstring kRankingUrl = L"https://news.veltrune.example/rankings.php";
const int kWaitMs = 30000;  // only bounds a hang

class HostWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitLog(logDir.path());
        ASSERT_TRUE(fake.Loaded());
        HostWindowOptions options;
        options.instance = GetModuleHandleW(nullptr);
        options.title = L"Veltrune";
        options.view = {logDir.Join(L"profile"),
                        logDir.Join(L"web"),
                        kStartUrl,
                        L"client-assets",
                        logDir.Join(L"assets"),
                        kNewsUrl,
                        L".content-page",
                        [this](const std::wstring& json) { messages.push_back(json); }};
        ASSERT_TRUE(host.Create(std::move(options)));
    }
    void TearDown() override {
        if (IsWindow(host.Handle())) DestroyWindow(host.Handle());
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        InitLog(L"");
    }
    bool WaitForCall(const std::string& line, bool prefix = false) {
        return PumpUntil([&] { return fake.Called(line, prefix); }, kWaitMs);
    }
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& call : fake.Calls())
            if (call.rfind(prefix, 0) == 0) found.push_back(call.substr(prefix.size()));
        return found;
    }
    // Runs the thread's message loop until WM_QUIT; false if it never came.
    bool RunUntilQuit(int* exitCode) {
        for (int waited = 0; waited < kWaitMs; waited += 10) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    *exitCode = static_cast<int>(msg.wParam);
                    return true;
                }
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return false;
    }

    TempDir logDir;
    FakeWebView2 fake;
    HostWindow host;
    std::vector<std::wstring> messages;
};

TEST(HostWindowBeforeCreate, RequestsAreDroppedInsteadOfBecomingThreadMessages) {
    HostWindow unborn;
    unborn.PostToPage(L"{\"evt\":\"init\"}");
    unborn.NavigateNews(L"https://news.veltrune.example/news.php");
    unborn.Minimize();
    unborn.BeginDrag();
    unborn.Close();
    MSG msg;
    int threadMessages = 0;
    while (PeekMessageW(&msg, nullptr, WM_APP, WM_APP + 0x100, PM_REMOVE)) ++threadMessages;
    EXPECT_EQ(threadMessages, 0);
}

TEST_F(HostWindowTest, RequestsFromAnotherThreadArriveInOrderAndCloseEndsTheLoop) {
    // Posted before the main view exists: dropped, not queued.
    host.PostToPage(L"{\"n\":0}");
    ASSERT_TRUE(WaitForCall("view 1 Navigate " + std::string(kNewsUrl.begin(), kNewsUrl.end())));

    std::thread worker([this] {
        for (int i = 1; i <= 100; ++i) host.PostToPage(L"{\"n\":" + std::to_wstring(i) + L"}");
        host.NavigateNews(L"");       // ignored
        host.NavigateNews(kNewsUrl);  // already shown: no reload
        host.NavigateNews(kRankingUrl);
        host.PostToPage(L"{\"n\":101}");
        host.Close();
    });
    worker.join();
    int exitCode = -1;
    ASSERT_TRUE(RunUntilQuit(&exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(IsWindow(host.Handle()));

    const auto posted = CallsStartingWith("view 0 PostWebMessageAsJson ");
    ASSERT_EQ(posted.size(), 101u);
    for (int i = 1; i <= 101; ++i) EXPECT_EQ(posted[i - 1], "{\"n\":" + std::to_string(i) + "}");
    EXPECT_EQ(CallsStartingWith("view 1 Navigate "),
              (std::vector<std::string>{"https://news.veltrune.example/news.php",
                                        "https://news.veltrune.example/rankings.php"}));
    EXPECT_NE(logDir.Read(L"Veltrune.log")
                  .find("WebView: news view navigating to " + std::string(kRankingUrl.begin(), kRankingUrl.end())),
              std::string::npos);

    // The window is gone: further requests are dropped without effect.
    std::thread late([this] {
        host.PostToPage(L"{\"n\":102}");
        host.NavigateNews(L"https://news.veltrune.example/late.php");
        host.Close();
    });
    late.join();
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(CallsStartingWith("view 0 PostWebMessageAsJson ").size(), 101u);
    EXPECT_EQ(CallsStartingWith("view 1 Navigate ").size(), 2u);
}

TEST_F(HostWindowTest, DpiChangeTakesTheSuggestedRectangleAndTheViewsFollow) {
    ASSERT_TRUE(WaitForCall("view 1 Navigate ", true));
    // The tests' prefix runs at 96 DPI: the page's pixels are device pixels.
    host.SetNewsRect(10, 20, 101, 50, true);
    EXPECT_EQ(CallsStartingWith("controller 1 put_Bounds ").back(), "10,20,111,70");
    EXPECT_EQ(CallsStartingWith("controller 1 put_IsVisible ").back(), "1");
    host.SetNewsRect(10, 20, 101, 50, false);
    EXPECT_EQ(CallsStartingWith("controller 1 put_IsVisible ").back(), "0");

    RECT suggested{100, 50, 100 + 1530, 50 + 965};
    SendMessageW(host.Handle(), WM_DPICHANGED, MAKEWPARAM(120, 120), reinterpret_cast<LPARAM>(&suggested));
    RECT now{};
    GetWindowRect(host.Handle(), &now);
    EXPECT_EQ(now.left, 100);
    EXPECT_EQ(now.top, 50);
    EXPECT_EQ(now.right - now.left, 1530);
    EXPECT_EQ(now.bottom - now.top, 965);
    EXPECT_TRUE(WaitForCall("controller 0 put_Bounds 0,0,1530,965"));

    host.Minimize();
    EXPECT_TRUE(PumpUntil([this] { return IsIconic(host.Handle()) != FALSE; }, kWaitMs));
}

// The page reports its news area in CSS pixels and does not report it again
// when only the DPI changes; the host must re-place the view itself.
TEST_F(HostWindowTest, DpiChangeRePlacesTheNewsViewAtTheNewScale) {
    ASSERT_TRUE(WaitForCall("view 1 Navigate ", true));
    auto changeDpi = [this](int dpi) {
        RECT suggested{0, 0, MulDiv(kHostWidth, dpi, 96), MulDiv(kHostHeight, dpi, 96)};
        SendMessageW(host.Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    };
    // Nothing reported yet: nothing to place, the view stays hidden.
    changeDpi(120);
    EXPECT_TRUE(CallsStartingWith("controller 1 put_Bounds ").empty());
    EXPECT_EQ(CallsStartingWith("controller 1 put_IsVisible ").back(), "0");
    changeDpi(96);

    host.SetNewsRect(10, 20, 101, 50, true);
    EXPECT_EQ(CallsStartingWith("controller 1 put_Bounds ").back(), "10,20,111,70");
    changeDpi(144);
    EXPECT_EQ(CallsStartingWith("controller 1 put_Bounds ").back(), "15,30,166,105");
    EXPECT_EQ(CallsStartingWith("controller 1 put_IsVisible ").back(), "1");
    EXPECT_NE(fake.Views().at(1).find("visible=1 bounds=15,30,166,105"), std::string::npos);
    changeDpi(96);
    EXPECT_EQ(CallsStartingWith("controller 1 put_Bounds ").back(), "10,20,111,70");

    // A hidden view stays hidden across the change.
    host.SetNewsRect(10, 20, 101, 50, false);
    const size_t placements = CallsStartingWith("controller 1 put_Bounds ").size();
    changeDpi(144);
    EXPECT_EQ(CallsStartingWith("controller 1 put_Bounds ").size(), placements);
    EXPECT_EQ(CallsStartingWith("controller 1 put_IsVisible ").back(), "0");
}

}  // namespace

// The real host window under Xvfb, with the real loader and the fake runtime
// in process: requests from other threads, and DPI changes.
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

const int kWaitMs = 30000;  // only bounds a hang

TEST(HostWindowBeforeCreate, RequestsAreDroppedInsteadOfBecomingThreadMessages) {
    HostWindow unborn;
    unborn.PostToPage(L"{\"evt\":\"init\"}");
    unborn.NavigateNews(L"https://news.veltrune.example/news.php");
    unborn.Minimize();
    unborn.BeginDrag();
    unborn.Close();
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP + 0x100, PM_REMOVE));
}

class HostWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitLog(dir.path());
        ASSERT_TRUE(fake.Loaded());
        HostWindowOptions options;
        options.instance = GetModuleHandleW(nullptr);
        options.title = L"Veltrune";
        options.view = {dir.Join(L"profile"), dir.Join(L"web"),          L"https://veltrune-ui.example/index.html",
                        L"client-assets",     dir.Join(L"assets"),       L"https://news.example/news.php",
                        L".content",          [](const std::wstring&) {}};
        ASSERT_TRUE(host.Create(std::move(options)));
        ASSERT_TRUE(PumpUntil([this] { return fake.Called("view 1 Navigate ", true); }, kWaitMs));
    }
    void TearDown() override {
        if (IsWindow(host.Handle())) DestroyWindow(host.Handle());
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        InitLog(L"");
    }
    std::vector<std::string> Calls(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& call : fake.Calls()) {
            if (call.rfind(prefix, 0) == 0) found.push_back(call.substr(prefix.size()));
        }
        return found;
    }
    std::string Last(const std::string& prefix) const {
        const auto calls = Calls(prefix);
        return calls.empty() ? "<none>" : calls.back();
    }

    TempDir dir;
    FakeWebView2 fake;
    HostWindow host;
};

TEST_F(HostWindowTest, RequestsFromAnotherThreadArriveInOrderAndCloseEndsTheLoop) {
    std::thread([this] {
        for (int i = 1; i <= 20; ++i) host.PostToPage(L"{\"n\":" + std::to_wstring(i) + L"}");
        host.NavigateNews(L"https://news.example/rankings.php");
        host.Close();
    }).join();
    int exitCode = -1;
    for (int waited = 0; exitCode < 0 && waited < kWaitMs; waited += 10) {
        MSG msg;
        while (exitCode < 0 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) exitCode = static_cast<int>(msg.wParam);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(IsWindow(host.Handle()));
    std::vector<std::string> expected;
    for (int i = 1; i <= 20; ++i) expected.push_back("{\"n\":" + std::to_string(i) + "}");
    EXPECT_EQ(Calls("view 0 PostWebMessageAsJson "), expected);
    EXPECT_EQ(Last("view 1 Navigate "), "https://news.example/rankings.php");

    // The window is gone: later requests have no effect.
    std::thread([this] {
        host.PostToPage(L"{\"n\":21}");
        host.NavigateNews(L"https://news.example/late.php");
        host.Close();
    }).join();
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(Calls("view 0 PostWebMessageAsJson ").size(), 20u);
    EXPECT_EQ(Last("view 1 Navigate "), "https://news.example/rankings.php");
}

// The page reports its news area in CSS pixels and not again when only the
// DPI changes: the host re-places the view itself.
TEST_F(HostWindowTest, DpiChangeMovesTheWindowAndRePlacesBothViews) {
    auto changeDpi = [this](int dpi, int left = 0, int top = 0) {
        RECT suggested{left, top, left + MulDiv(kHostWidth, dpi, 96), top + MulDiv(kHostHeight, dpi, 96)};
        SendMessageW(host.Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    };
    changeDpi(120, 100, 50);
    RECT now{};
    GetWindowRect(host.Handle(), &now);
    EXPECT_EQ(now.left, 100);
    EXPECT_EQ(now.top, 50);
    EXPECT_EQ(now.right - now.left, 1530);
    EXPECT_EQ(now.bottom - now.top, 965);
    EXPECT_TRUE(PumpUntil([this] { return fake.Called("controller 0 put_Bounds 0,0,1530,965"); }, kWaitMs));
    EXPECT_EQ(Last("controller 1 put_Bounds "), "<none>");  // no area reported yet: nothing placed
    EXPECT_EQ(Last("controller 1 put_IsVisible "), "0");

    changeDpi(96);  // the tests' prefix: page pixels are device pixels
    host.SetNewsRect(10, 20, 101, 50, true);
    EXPECT_EQ(Last("controller 1 put_Bounds "), "10,20,111,70");
    changeDpi(144);
    EXPECT_EQ(Last("controller 1 put_Bounds "), "15,30,166,105");
    EXPECT_EQ(Last("controller 1 put_IsVisible "), "1");

    host.SetNewsRect(10, 20, 101, 50, false);  // a hidden view stays hidden across the change
    const size_t placements = Calls("controller 1 put_Bounds ").size();
    changeDpi(96);
    EXPECT_EQ(Calls("controller 1 put_Bounds ").size(), placements);
    EXPECT_EQ(Last("controller 1 put_IsVisible "), "0");

    host.Minimize();
    EXPECT_TRUE(PumpUntil([this] { return IsIconic(host.Handle()) != FALSE; }, kWaitMs));
}

}  // namespace

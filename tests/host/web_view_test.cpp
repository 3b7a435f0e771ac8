// The main and news views in a real window, through the real loader and the
// fake runtime (a real DLL whose controllers own real child windows).
#include "host/web_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fake_webview2_client.h"
#include "platform/log.h"
#include "support/temp_dir.h"
#include "text/text.h"

using namespace vr;
using vr::test::FakeWebView2;
using vr::test::PumpUntil;

namespace {

const std::string kStart = "https://game.example/patcher/index.html";
const std::string kNews = "https://game.example/news";
const std::string kRanking = "https://game.example/ranking";

std::vector<std::pair<HWND, std::wstring>> g_boxes;  // owner and text
int g_closes = 0;

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    g_closes += message == WM_CLOSE;  // only recorded: the test owns the window
    return message == WM_CLOSE ? 0 : DefWindowProcW(window, message, wParam, lParam);
}

// The window's own flag: the test window stays unmapped (mapping costs seconds under Xvfb).
bool Shown(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

class WebViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fake.Loaded());
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VrWebViewTest";
        RegisterClassExW(&wc);  // fails harmlessly from the second test on
        window = CreateWindowExW(0, wc.lpszClassName, L"test", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 10, 10, 900, 600,
                                 nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(window, nullptr);
        Renew();
    }
    void TearDown() override {
        view.reset();
        DestroyWindow(window);
        InitLog(L"");
    }
    // A fresh log, runtime and view; the runtime options ("SET" commands) with ';' between.
    void Renew(const std::string& options = "") {
        view.reset();
        InitLog(logDir.path());
        fake.Command("RESET");
        for (size_t at = 0, end = 0; at < options.size(); at = end + 1) {
            end = std::min(options.find(';', at), options.size());
            fake.Command("SET " + options.substr(at, end - at));
        }
        WebView::Seams seams;
        seams.messageBox = [](HWND owner, const wchar_t* text, const wchar_t*, UINT) {
            g_boxes.emplace_back(owner, text);
            return IDOK;
        };
        view = std::make_unique<WebView>(seams);
        g_boxes.clear();
        g_closes = 0;
    }
    bool Create(const std::wstring& selector = L"#content .news") {
        return view->Create(window, {L"C:\\profile", L"C:\\web", Utf8ToWide(kStart), L"assets.example", L"C:\\assets",
                                     Utf8ToWide(kNews), selector, [](const std::wstring&) {}});
    }
    bool WaitFor(const std::string& callPrefix) {
        return PumpUntil([&] { return fake.Called(callPrefix, true); }, 20000);
    }
    int Count(const std::string& prefix) const {
        int n = 0;
        for (const auto& call : fake.Calls()) n += call.rfind(prefix, 0) == 0;
        return n;
    }
    int Logged(const std::string& line) const {
        const std::string log = logDir.Read(L"Veltrune.log");
        int n = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
        return n;
    }

    vr::test::TempDir logDir;
    FakeWebView2 fake;
    HWND window = nullptr;
    std::unique_ptr<WebView> view;
};

TEST(WebViewOrigin, OnlyTheOriginAndPagesBelowItAreTrusted) {
    EXPECT_EQ(OriginOf(L"https://game.example:8443/x/y.html"), L"https://game.example:8443");
    EXPECT_EQ(OriginOf(L"game.example/x"), L"game.example/x");
    for (const wchar_t* trusted : {L"https://game.example", L"https://game.example/other/page.html"}) {
        EXPECT_TRUE(IsFromOrigin(trusted, L"https://game.example")) << WideToUtf8(trusted);
    }
    for (const wchar_t* untrusted : {L"https://game.example.evil.test/x", L"https://game.examplex",
                                     L"http://game.example/", L"https://game.example:444/", L"HTTPS://GAME.EXAMPLE/"}) {
        EXPECT_FALSE(IsFromOrigin(untrusted, L"https://game.example")) << WideToUtf8(untrusted);
    }
    EXPECT_FALSE(IsFromOrigin(L"", L""));  // no start page: nothing is trusted by it
}

// Each failure: one log line, at most one box, a close exactly when the main view cannot come.
TEST_F(WebViewTest, RuntimeFailures) {
    const struct {
        const char* options;
        bool created;
        const wchar_t* box;  // part of the text; null for none
        bool closes;
        const char* log;  // null for none
    } rows[] = {
        {"env.create 0x80004005", false, L"was not found", false, "WithOptions failed 0x80004005"},
        {"env.complete 0x80070005", true, L"could not be started", true, "environment creation failed 0x80070005"},
        {"env.inline 1;env.complete 0x80070005;env.create 0x80070005", false, L"could not be started", true,
         "WithOptions failed 0x80070005"},
        {"controller.0 0x80004005", true, nullptr, true, "controller creation failed 0x80004005"},
        {"controller.call.0 0x80070057", true, nullptr, true, "controller creation failed 0x80070057"},
        {"controller.inline 1;controller.0 0x80004005;controller.call.0 0x80004005", true, nullptr, true,
         "controller creation failed 0x80004005"},
        {"noview.0 1", true, nullptr, true, nullptr},
        {"env.inline 1", true, nullptr, false, "news view navigating to"},
        {"controller.1 0x80004005", true, nullptr, false, "news controller failed 0x80004005"},
        {"controller.call.1 0x8007000e", true, nullptr, false, "news controller failed 0x8007000e"},
    };
    for (const auto& row : rows) {
        const std::string name = row.options;
        Renew(row.options);
        EXPECT_EQ(Create(), row.created) << name;
        PumpUntil([&] { return g_closes > 0 || (row.log && Logged(row.log) > 0); }, 20000);
        // The fake answers through posted messages: a second answer would be among them.
        PumpUntil([msg = MSG{}]() mutable { return !PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); });
        EXPECT_EQ(g_closes, row.closes ? 1 : 0) << name;
        EXPECT_EQ(row.log ? Logged(row.log) : 1, 1) << name;
        ASSERT_EQ(g_boxes.size(), row.box ? 1u : 0u) << name;
        if (row.box) {
            EXPECT_EQ(g_boxes[0].first, window) << name;
            EXPECT_NE(g_boxes[0].second.find(row.box), std::wstring::npos) << WideToUtf8(g_boxes[0].second);
        }
        EXPECT_EQ(view->HasMainView(), row.created && !row.closes) << name;
        EXPECT_LE(row.closes ? Count("environment CreateCoreWebView2Controller") : 0, 1) << name;  // no news view
    }
    // Without its news view the launcher goes on: the main view still takes messages.
    EXPECT_FALSE(view->HasNewsView());
    view->NavigateNews(Utf8ToWide(kRanking));
    EXPECT_EQ(fake.Command("MESSAGE 0 " + kStart + R"( {"cmd":"still"})"), "OK 1");
}

TEST_F(WebViewTest, IsolationScriptProblemsStillShowTheNews) {
    const struct {
        const char* option;
        const wchar_t* selector;
        const char* log;
    } rows[] = {
        {"", L"", "WebView: no content selector configured; news pages shown unmodified"},
        {"script 0x80004005", L".news", "WebView: isolate script rejected 0x80004005; pages will show unstripped"},
        {"script.call 0x80070057", L".news",  // refused on the spot: its handler never runs
         "WebView: isolate script rejected 0x80070057; pages will show unstripped"}};
    for (const auto& row : rows) {
        Renew(row.option);
        ASSERT_TRUE(Create(row.selector));
        ASSERT_TRUE(WaitFor("view 1 Navigate " + kNews)) << row.log;
        EXPECT_EQ(Logged(row.log), 1);
        EXPECT_EQ(Count("view 1 Navigate"), 1);
    }
}

// The runtime changes a view's source only when a navigation commits.
TEST_F(WebViewTest, ViewsAreSetUpBeforeTheirPagesAndTheNewsViewFollowsThePage) {
    Renew("source.oncomplete 1");
    view->SetNewsPlacement(RECT{12, 25, 138, 87}, true);  // before the news view exists
    ASSERT_TRUE(Create());
    view->NavigateNews(Utf8ToWide(kRanking));  // likewise: its first page
    ASSERT_TRUE(WaitFor("view 1 Navigate "));
    for (const char* setting :
         {"AreDefaultContextMenusEnabled", "IsStatusBarEnabled", "IsZoomControlEnabled", "AreDevToolsEnabled"}) {
        EXPECT_TRUE(fake.Called(std::string("settings 0 put_") + setting + " 0")) << setting;
        EXPECT_TRUE(fake.Called(std::string("settings 1 put_") + setting + " 0")) << setting;
    }
    const std::vector<int> order = {
        fake.IndexOf("view 0 SetVirtualHostNameToFolderMapping veltrune-ui.example 1 C:\\web"),
        fake.IndexOf("view 0 SetVirtualHostNameToFolderMapping assets.example 1 C:\\assets"),
        fake.IndexOf("view 0 add_WebMessageReceived"),
        fake.IndexOf("view 0 Navigate " + kStart),
        fake.IndexOf("view 1 AddScriptToExecuteOnDocumentCreated", true),
        fake.IndexOf("view 1 Navigate " + kRanking)};
    EXPECT_GE(order[0], 0);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << ::testing::PrintToString(order);
    EXPECT_NE(fake.Scripts(1).at(0).find("\"#content .news\""), std::string::npos);
    EXPECT_EQ(Count("view 0 AddScriptToExecuteOnDocumentCreated"), 0);  // the main page stays whole
    HWND news = fake.ViewWindow(1);
    RECT r{};
    GetWindowRect(news, &r);
    EXPECT_TRUE(Shown(news));
    EXPECT_EQ(std::pair(r.right - r.left, r.bottom - r.top), std::pair(126L, 62L));
    EXPECT_EQ(GetWindow(window, GW_CHILD), news);  // above the main view

    view->NavigateNews(Utf8ToWide(kRanking));  // still loading: not loaded twice
    EXPECT_EQ(fake.Command("NAVCOMPLETE 1 1 0"), "OK 1");
    view->NavigateNews(Utf8ToWide(kRanking));
    view->NavigateNews(L"");
    EXPECT_EQ(Count("view 1 Navigate"), 1);
    ASSERT_EQ(fake.Command("NAVIGATE 1 " + kRanking + "?page=2"), "OK");  // a link inside the view:
    view->NavigateNews(Utf8ToWide(kRanking));                             // the same tab brings its page back
    EXPECT_EQ(Count("view 1 Navigate " + kRanking), 2);
    view->NavigateNews(Utf8ToWide(kNews));
    EXPECT_EQ(Logged("WebView: news view navigating to " + kNews), 1);
    EXPECT_EQ(fake.Command("NAVCOMPLETE 1 0 12"), "OK 1");
    EXPECT_EQ(Logged("WebView: news navigation FAILED (webErrorStatus=12) for " + kNews), 1);

    view->SetNewsPlacement(RECT{12, 25, 138, 87}, false);
    EXPECT_FALSE(Shown(news));
    SetWindowPos(news, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    view->SetNewsPlacement(RECT{20, 30, 220, 130}, true);  // showing raises it again
    EXPECT_EQ(GetWindow(window, GW_CHILD), news);
    EXPECT_NE(fake.Views().at(1).find("visible=1 bounds=20,30,220,130"), std::string::npos);
}

}  // namespace

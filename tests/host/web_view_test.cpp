// The main and news views in a real window, created through the real loader
// with the fake runtime (a real DLL whose controllers own real child
// windows), so z-order, placement and every runtime call are observable.
#include "host/web_view.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_webview2_client.h"
#include "platform/log.h"
#include "support/temp_dir.h"
#include "text/text.h"

using namespace vr;
using vr::test::FakeWebView2;
using vr::test::PumpUntil;
using vr::test::TempDir;

namespace {

const std::wstring kStartUrl = L"https://game.example/patcher/index.html";
const std::wstring kNewsUrl = L"https://game.example/news";
const std::wstring kSelector = L"#content .news";
const std::wstring kWebDir = L"C:\\Games\\Veltrune\\web";
const std::wstring kAssetsDir = L"C:\\Games\\Veltrune\\assets";
const std::wstring kUserData = L"C:\\users\\player\\AppData\\Local\\Veltrune";
const int kWaitMs = 20000;  // only bounds a hang; nothing depends on speed

struct BoxCall {
    HWND owner;
    std::wstring text, caption;
    UINT type;
};
std::vector<BoxCall> g_boxes;
int RecordBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    g_boxes.push_back({owner, text, caption, type});
    return IDOK;
}

// The seams of a view whose message boxes are recorded, not shown.
WebView::Seams RecordingSeams() {
    WebView::Seams seams;
    seams.messageBox = RecordBox;
    return seams;
}

int g_closeRequests = 0;
LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        ++g_closeRequests;  // recorded, not acted on: the test owns the window
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateTestWindow() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VrWebViewTestWindow";
        RegisterClassExW(&wc);
        registered = true;
    }
    return CreateWindowExW(0, L"VrWebViewTestWindow", L"test", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 10, 10, 900, 600,
                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

// The window's own visibility. The test window stays hidden (mapping it under
// Xvfb costs seconds per test), so IsWindowVisible would be false throughout.
bool Shown(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

class WebViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitLog(logDir.path());
        ASSERT_TRUE(fake.Loaded());
        g_boxes.clear();
        g_closeRequests = 0;
        window = CreateTestWindow();
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        view.reset();
        DestroyWindow(window);
        InitLog(L"");
    }

    bool Create(const std::wstring& startUrl = kStartUrl, const std::wstring& assetsHost = L"assets.veltrune.example",
                const std::wstring& assetsDir = kAssetsDir, const std::wstring& selector = kSelector) {
        return view->Create(window, {kUserData, kWebDir, startUrl, assetsHost, assetsDir, kNewsUrl, selector,
                                     [this](const std::wstring& json) { messages.push_back(json); }});
    }
    // Both views exist and the news view has started its first page.
    void CreateAndWaitForNews(const std::wstring& startUrl = kStartUrl, const std::wstring& selector = kSelector) {
        ASSERT_TRUE(Create(startUrl, L"assets.veltrune.example", kAssetsDir, selector));
        ASSERT_TRUE(WaitForCall("view 1 Navigate ", true));
    }
    bool WaitForCall(const std::string& line, bool prefix = false) {
        return PumpUntil([&] { return fake.Called(line, prefix); }, kWaitMs);
    }
    bool WaitForLog(const std::string& line) {
        return PumpUntil([&] { return Log().find(line) != std::string::npos; }, kWaitMs);
    }
    std::string Log() const { return logDir.Read(L"Veltrune.log"); }
    bool Logged(const std::string& line) const { return Log().find(line) != std::string::npos; }
    int CountCalls(const std::string& prefix) const {
        int n = 0;
        for (const auto& call : fake.Calls()) n += call.rfind(prefix, 0) == 0;
        return n;
    }
    std::string Deliver(const std::string& source, const std::string& json) {
        return fake.Command("MESSAGE 0 " + source + " " + json);
    }

    TempDir logDir;
    FakeWebView2 fake;
    HWND window = nullptr;
    std::unique_ptr<WebView> view = std::make_unique<WebView>(RecordingSeams());
    std::vector<std::wstring> messages;
};

// ---- origins ----

TEST(WebViewOrigin, OriginIsSchemeAndHostWithoutPath) {
    EXPECT_EQ(OriginOf(L"https://game.example/patcher/index.html"), L"https://game.example");
    EXPECT_EQ(OriginOf(L"https://game.example:8443/x"), L"https://game.example:8443");
    EXPECT_EQ(OriginOf(L"https://game.example"), L"https://game.example");
    EXPECT_EQ(OriginOf(L"https://"), L"https://");
    EXPECT_EQ(OriginOf(L"game.example/x"), L"game.example/x");
    EXPECT_EQ(OriginOf(L""), L"");
}

TEST(WebViewOrigin, SourceMustBeTheOriginOrBelowIt) {
    const std::wstring origin = L"https://game.example";
    EXPECT_TRUE(IsFromOrigin(L"https://game.example", origin));
    EXPECT_TRUE(IsFromOrigin(L"https://game.example/", origin));
    EXPECT_TRUE(IsFromOrigin(L"https://game.example/other/page.html", origin));
    EXPECT_FALSE(IsFromOrigin(L"https://game.example.evil.test/x", origin));
    EXPECT_FALSE(IsFromOrigin(L"https://game.examplex", origin));
    EXPECT_FALSE(IsFromOrigin(L"http://game.example/patcher/index.html", origin));
    EXPECT_FALSE(IsFromOrigin(L"https://game.example:444/", origin));
    EXPECT_FALSE(IsFromOrigin(L"HTTPS://GAME.EXAMPLE/", origin));
    EXPECT_FALSE(IsFromOrigin(L"", L""));
    EXPECT_FALSE(IsFromOrigin(L"https://game.example", L""));
}

// ---- the main view ----

TEST_F(WebViewTest, MainViewIsSetUpBeforeItsPageLoads) {
    ASSERT_TRUE(Create());
    EXPECT_EQ(fake.ViewCount(), 0);  // nothing happens inside the call
    ASSERT_TRUE(WaitForCall("view 0 Navigate https://game.example/patcher/index.html"));
    EXPECT_TRUE(fake.Called("CreateWebViewEnvironmentWithOptionsInternal flag=1 type=1 options=0 userData=" +
                            Narrow(kUserData)));

    RECT client{};
    GetClientRect(window, &client);
    const char* const ordered[] = {
        "settings 0 put_AreDefaultContextMenusEnabled 0",
        "settings 0 put_IsStatusBarEnabled 0",
        "settings 0 put_IsZoomControlEnabled 0",
        "settings 0 put_AreDevToolsEnabled 0",
    };
    int last = -1;
    for (const char* line : ordered) {
        const int at = fake.IndexOf(line);
        EXPECT_GT(at, last) << line;
        last = at;
    }
    const std::string bounds =
        "controller 0 put_Bounds 0,0," + std::to_string(client.right) + "," + std::to_string(client.bottom);
    EXPECT_TRUE(fake.Called(bounds)) << bounds;
    const int webMap =
        fake.IndexOf("view 0 SetVirtualHostNameToFolderMapping veltrune-ui.example 1 " + Narrow(kWebDir));
    const int assetsMap =
        fake.IndexOf("view 0 SetVirtualHostNameToFolderMapping assets.veltrune.example 1 " + Narrow(kAssetsDir));
    const int handler = fake.IndexOf("view 0 add_WebMessageReceived");
    const int navigate = fake.IndexOf("view 0 Navigate https://game.example/patcher/index.html");
    EXPECT_GE(webMap, 0);
    EXPECT_GT(assetsMap, webMap);
    EXPECT_GT(handler, assetsMap);
    EXPECT_GT(navigate, handler);
    EXPECT_TRUE(Logged("WebView: main UI navigating to https://game.example/patcher/index.html"));
    // The news view is asked for only after the main page started.
    const auto calls = fake.Calls();
    int controllers = 0;
    for (int i = navigate; i < static_cast<int>(calls.size()); ++i)
        controllers += calls[i].rfind("environment CreateCoreWebView2Controller", 0) == 0;
    EXPECT_EQ(controllers, 1);
    EXPECT_EQ(CountCalls("environment CreateCoreWebView2Controller"), 2);
    EXPECT_EQ(g_closeRequests, 0);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(WebViewTest, MessagesAreAcceptedOnlyFromTheStartSiteAndTheUiHost) {
    CreateAndWaitForNews();
    EXPECT_EQ(Deliver("https://game.example/other/page.html", R"({"cmd":"ui.ready"})"), "OK 1");
    Deliver("https://game.example", R"({"cmd":"a"})");
    Deliver("https://veltrune-ui.example/index.html", R"({"cmd":"b"})");
    EXPECT_EQ(Deliver("http://game.example/patcher/index.html", R"({"cmd":"c"})"), "OK 1");
    Deliver("https://game.example.evil.test/patcher/index.html", R"({"cmd":"d"})");
    Deliver("https://veltrune-ui.example.evil.test/", R"({"cmd":"e"})");

    const std::vector<std::wstring> expected = {LR"({"cmd":"ui.ready"})", LR"({"cmd":"a"})", LR"({"cmd":"b"})"};
    EXPECT_EQ(messages, expected);
    EXPECT_TRUE(Logged("WebView: ignored web message from untrusted origin http://game.example/patcher/index.html"));
    EXPECT_TRUE(
        Logged("WebView: ignored web message from untrusted origin https://game.example.evil.test/patcher/index.html"));
    EXPECT_TRUE(Logged("WebView: ignored web message from untrusted origin https://veltrune-ui.example.evil.test/"));
}

TEST_F(WebViewTest, EmptyStartUrlLeavesOnlyTheUiHostTrusted) {
    ASSERT_TRUE(Create(L""));
    ASSERT_TRUE(WaitForCall("view 0 Navigate ", true));
    Deliver("https://game.example/patcher/index.html", R"({"cmd":"x"})");
    Deliver("https://veltrune-ui.example/index.html", R"({"cmd":"y"})");
    EXPECT_EQ(messages, std::vector<std::wstring>{LR"({"cmd":"y"})"});
    EXPECT_TRUE(Logged("WebView: ignored web message from untrusted origin https://game.example/patcher/index.html"));
}

TEST_F(WebViewTest, JsonReachesThePageOnlyOnceTheMainViewExists) {
    view->PostJson(LR"({"event":"early"})");
    ASSERT_TRUE(Create());
    view->PostJson(LR"({"event":"still early"})");
    ASSERT_TRUE(WaitForCall("view 0 Navigate ", true));
    view->PostJson(LR"({"event":"progress","percent":50})");
    view->PostJson(LR"({"event":"ready"})");
    EXPECT_EQ(fake.Command("POSTED 0 0"), R"(OK {"event":"progress","percent":50})");
    EXPECT_EQ(fake.Command("POSTED 0 0"), R"(OK {"event":"ready"})");
    EXPECT_EQ(fake.Command("POSTED 0 0"), "ERR timeout");
    // The control channel keeps one event on one line.
    view->PostJson(L"{\n\"event\":\"multi\"\r\n}");
    EXPECT_EQ(fake.Command("POSTED 0 0"), "OK { \"event\":\"multi\"  }");
}

TEST_F(WebViewTest, MainViewFollowsTheClientArea) {
    view->ResizeToClient();  // before the view exists: nothing to size
    ASSERT_TRUE(Create());
    ASSERT_TRUE(WaitForCall("view 0 Navigate ", true));
    SetWindowPos(window, nullptr, 0, 0, 700, 500, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    view->ResizeToClient();
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_TRUE(fake.Called("controller 0 put_Bounds 0,0," + std::to_string(client.right) + "," +
                            std::to_string(client.bottom)));
    EXPECT_NE(fake.Views().at(0).find("bounds=0,0," + std::to_string(client.right)), std::string::npos);
}

TEST_F(WebViewTest, OlderRuntimeWithoutFolderMappingsStillLoadsThePage) {
    fake.Command("SET view3 0");
    ASSERT_TRUE(Create());
    ASSERT_TRUE(WaitForCall("view 0 Navigate https://game.example/patcher/index.html"));
    EXPECT_EQ(CountCalls("view 0 SetVirtualHostNameToFolderMapping"), 0);
}

TEST_F(WebViewTest, AssetsFolderIsMappedOnlyWithBothHostAndFolder) {
    ASSERT_TRUE(Create(kStartUrl, L"", kAssetsDir));
    ASSERT_TRUE(WaitForCall("view 0 Navigate ", true));
    EXPECT_EQ(CountCalls("view 0 SetVirtualHostNameToFolderMapping"), 1);
    EXPECT_TRUE(fake.Called("view 0 SetVirtualHostNameToFolderMapping veltrune-ui.example 1 " + Narrow(kWebDir)));

    view = std::make_unique<WebView>(RecordingSeams());
    fake.Command("RESET");
    ASSERT_TRUE(Create(kStartUrl, L"assets.veltrune.example", L""));
    ASSERT_TRUE(WaitForCall("view 0 Navigate ", true));
    EXPECT_EQ(CountCalls("view 0 SetVirtualHostNameToFolderMapping"), 1);
}

// ---- runtime failures ----

TEST_F(WebViewTest, MissingRuntimeShowsTheNotFoundBoxAndFailsCreate) {
    TempDir noRuntime;
    SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", noRuntime.path().c_str());
    EXPECT_FALSE(Create());
    EXPECT_TRUE(Logged("WebView: CreateCoreWebView2EnvironmentWithOptions failed 0x80070002"));
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].owner, window);
    EXPECT_EQ(g_boxes[0].text,
              L"The Microsoft Edge WebView2 Runtime is required but was not found.\n"
              L"Please install the Evergreen WebView2 Runtime and try again.");
    EXPECT_EQ(g_boxes[0].caption, L"Veltrune");
    EXPECT_EQ(g_boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", FakeWebView2::Folder().c_str());
}

TEST_F(WebViewTest, RuntimeRefusingAtOnceIsReportedWithItsCode) {
    fake.Command("SET env.create 0x80004005");
    EXPECT_FALSE(Create());
    EXPECT_TRUE(Logged("WebView: CreateCoreWebView2EnvironmentWithOptions failed 0x80004005"));
    EXPECT_EQ(g_boxes.size(), 1u);
}

TEST_F(WebViewTest, EnvironmentFailingLaterShowsTheCouldNotStartBoxAndCloses) {
    fake.Command("SET env.complete 0x80070005");
    ASSERT_TRUE(Create());
    EXPECT_TRUE(g_boxes.empty());
    ASSERT_TRUE(PumpUntil([] { return g_closeRequests > 0; }, kWaitMs));
    EXPECT_TRUE(Logged("WebView: environment creation failed 0x80070005"));
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text,
              L"The Microsoft Edge WebView2 Runtime is required but could not be started.\n"
              L"Please install the Evergreen WebView2 Runtime and try again.");
    EXPECT_EQ(g_boxes[0].caption, L"Veltrune");
    EXPECT_EQ(g_boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(g_boxes[0].owner, window);
}

TEST_F(WebViewTest, RuntimeOptionsCanComeFromTheEnvironment) {
    // How an out-of-process harness makes the environment fail.
    SetEnvironmentVariableW(L"VR_FAKE_WEBVIEW2_OPTIONS", L"env.complete 0x80070005;view3 0");
    ASSERT_TRUE(Create());
    SetEnvironmentVariableW(L"VR_FAKE_WEBVIEW2_OPTIONS", nullptr);
    ASSERT_TRUE(PumpUntil([] { return g_closeRequests > 0; }, kWaitMs));
    EXPECT_TRUE(Logged("WebView: environment creation failed 0x80070005"));
}

TEST_F(WebViewTest, FailureReportedInsideTheCallAndByItShowsOneBox) {
    fake.Command("SET env.inline 1");
    fake.Command("SET env.complete 0x80070005");
    fake.Command("SET env.create 0x80070005");
    EXPECT_FALSE(Create());
    EXPECT_TRUE(Logged("WebView: environment creation failed 0x80070005"));
    EXPECT_TRUE(Logged("WebView: CreateCoreWebView2EnvironmentWithOptions failed 0x80070005"));
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_NE(g_boxes[0].text.find(L"could not be started"), std::wstring::npos);
}

TEST_F(WebViewTest, EnvironmentDeliveredInsideTheCallStillStartsTheViews) {
    fake.Command("SET env.inline 1");
    ASSERT_TRUE(Create());
    ASSERT_TRUE(WaitForCall("view 1 Navigate https://game.example/news"));
    EXPECT_TRUE(fake.Called("view 0 Navigate https://game.example/patcher/index.html"));
}

TEST_F(WebViewTest, MainControllerFailureClosesWithoutABox) {
    fake.Command("SET controller.0 0x80004005");
    ASSERT_TRUE(Create());
    ASSERT_TRUE(PumpUntil([] { return g_closeRequests > 0; }, kWaitMs));
    EXPECT_TRUE(Logged("WebView: controller creation failed 0x80004005"));
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_FALSE(view->HasMainView());
    view->PostJson(L"{}");  // harmless without a view
}

TEST_F(WebViewTest, MainControllerWithoutViewCloses) {
    fake.Command("SET noview.0 1");
    ASSERT_TRUE(Create());
    ASSERT_TRUE(PumpUntil([] { return g_closeRequests > 0; }, kWaitMs));
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_EQ(CountCalls("environment CreateCoreWebView2Controller"), 1);  // no news view
    EXPECT_FALSE(Logged("controller creation failed"));
}

// A runtime may refuse the controller request itself; its handler then never
// runs, and without this the player would be left with an empty window.
TEST_F(WebViewTest, MainControllerRefusedOnTheSpotClosesLikeAFailedCompletion) {
    fake.Command("SET controller.call.0 0x80070057");
    ASSERT_TRUE(Create());
    ASSERT_TRUE(PumpUntil([] { return g_closeRequests > 0; }, kWaitMs));
    EXPECT_TRUE(Logged("WebView: controller creation failed 0x80070057"));
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_FALSE(view->HasMainView());
    EXPECT_EQ(CountCalls("environment CreateCoreWebView2Controller"), 1);  // no news view either
}

TEST_F(WebViewTest, ControllerFailureAnsweredInsideTheCallAndByItIsHandledOnce) {
    fake.Command("SET controller.inline 1");
    fake.Command("SET controller.0 0x80004005");
    fake.Command("SET controller.call.0 0x80004005");
    ASSERT_TRUE(Create());
    ASSERT_TRUE(PumpUntil([] { return g_closeRequests > 0; }, kWaitMs));
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(g_closeRequests, 1);
    const std::string log = Log();
    const std::string line = "WebView: controller creation failed 0x80004005";
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
}

// One real box, dismissed through its window as a player would.
TEST_F(WebViewTest, RealMessageBoxAppearsOwnedByTheWindow) {
    view = std::make_unique<WebView>();  // the shipped message box
    TempDir noRuntime;
    SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", noRuntime.path().c_str());
    std::wstring seenText;
    HWND seenOwner = nullptr;
    std::thread dismisser([&] {
        for (int i = 0; i < 600; ++i) {  // bounded: 600 tries
            HWND box = FindWindowW(L"#32770", L"Veltrune");
            if (box) {
                wchar_t text[512] = {};
                GetDlgItemTextW(box, 0xFFFF, text, 512);
                seenText = text;
                seenOwner = GetWindow(box, GW_OWNER);
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                return;
            }
            Sleep(50);
        }
    });
    EXPECT_FALSE(Create());
    dismisser.join();
    EXPECT_EQ(seenOwner, window);
    EXPECT_NE(seenText.find(L"required but was not found"), std::wstring::npos) << Narrow(seenText);
    SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", FakeWebView2::Folder().c_str());
}

// ---- the news view ----

TEST_F(WebViewTest, NewsViewIsRaisedConfiguredAndHiddenUntilPlaced) {
    CreateAndWaitForNews();
    HWND news = fake.ViewWindow(1);
    ASSERT_NE(news, nullptr);
    EXPECT_EQ(GetWindow(window, GW_CHILD), news);  // above the main view's window
    EXPECT_TRUE(fake.Called("settings 1 put_AreDefaultContextMenusEnabled 0"));
    EXPECT_TRUE(fake.Called("settings 1 put_IsStatusBarEnabled 0"));
    EXPECT_TRUE(fake.Called("settings 1 put_IsZoomControlEnabled 0"));
    EXPECT_TRUE(fake.Called("settings 1 put_AreDevToolsEnabled 0"));
    EXPECT_TRUE(fake.Called("controller 1 put_IsVisible 0"));
    EXPECT_EQ(CountCalls("controller 1 put_Bounds"), 0);
    EXPECT_FALSE(Shown(news));
    EXPECT_TRUE(fake.Called("view 1 add_NavigationCompleted"));
    EXPECT_FALSE(Logged("could not identify the news view window"));
}

TEST_F(WebViewTest, IsolationScriptIsRegisteredWithTheSelectorBeforeTheFirstPage) {
    CreateAndWaitForNews();
    const int script = fake.IndexOf("view 1 AddScriptToExecuteOnDocumentCreated");
    const int navigate = fake.IndexOf("view 1 Navigate https://game.example/news");
    ASSERT_GE(script, 0);
    EXPECT_GT(navigate, script);
    const auto scripts = fake.Scripts(1);
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_NE(scripts[0].find("\"#content .news\""), std::string::npos);
    EXPECT_EQ(scripts[0].find("%SELECTOR%"), std::string::npos);
    EXPECT_NE(scripts[0].find("__vr_isolate_hide"), std::string::npos);
    EXPECT_TRUE(Logged("WebView: news view navigating to https://game.example/news"));
    EXPECT_EQ(CountCalls("view 0 AddScriptToExecuteOnDocumentCreated"), 0);  // the main page stays whole
}

TEST_F(WebViewTest, WithoutSelectorNewsIsShownUnmodified) {
    CreateAndWaitForNews(kStartUrl, L"");
    EXPECT_EQ(CountCalls("view 1 AddScriptToExecuteOnDocumentCreated"), 0);
    EXPECT_TRUE(Logged("WebView: no content selector configured; news pages shown unmodified"));
    EXPECT_TRUE(Logged("WebView: news view navigating to https://game.example/news"));
}

TEST_F(WebViewTest, RejectedScriptStillShowsTheNews) {
    fake.Command("SET script 0x80004005");
    CreateAndWaitForNews();
    EXPECT_TRUE(Logged("WebView: isolate script rejected 0x80004005; pages will show unstripped"));
    EXPECT_TRUE(fake.Called("view 1 Navigate https://game.example/news"));
}

TEST_F(WebViewTest, ScriptRefusedOnTheSpotStillShowsTheNews) {
    fake.Command("SET script.call 0x80070057");
    CreateAndWaitForNews();
    EXPECT_TRUE(Logged("WebView: isolate script rejected 0x80070057; pages will show unstripped"));
    EXPECT_EQ(CountCalls("view 1 Navigate"), 1);
}

TEST_F(WebViewTest, PlacementGivenEarlyIsAppliedWhenTheNewsViewIsReady) {
    view->SetNewsPlacement(RECT{12, 25, 138, 87}, true);
    CreateAndWaitForNews();
    const int visible = fake.IndexOf("controller 1 put_IsVisible 1");
    const int bounds = fake.IndexOf("controller 1 put_Bounds 12,25,138,87");
    EXPECT_GE(visible, 0);
    EXPECT_GT(bounds, visible);
    EXPECT_EQ(CountCalls("controller 1 put_IsVisible 0"), 0);
    HWND news = fake.ViewWindow(1);
    EXPECT_TRUE(Shown(news));
    RECT r{};
    GetWindowRect(news, &r);
    EXPECT_EQ(r.right - r.left, 126);
    EXPECT_EQ(r.bottom - r.top, 62);
}

TEST_F(WebViewTest, HiddenPlacementStaysHiddenAndShowingRaisesAgain) {
    view->SetNewsPlacement(RECT{10, 10, 110, 60}, false);
    CreateAndWaitForNews();
    EXPECT_TRUE(fake.Called("controller 1 put_IsVisible 0"));
    EXPECT_EQ(CountCalls("controller 1 put_Bounds"), 0);
    HWND news = fake.ViewWindow(1);
    EXPECT_FALSE(Shown(news));

    // Something pushed the view down; showing it brings it back on top.
    SetWindowPos(news, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_NE(GetWindow(window, GW_CHILD), news);
    view->SetNewsPlacement(RECT{20, 30, 220, 130}, true);
    EXPECT_GT(fake.IndexOf("controller 1 put_IsVisible 1"), fake.IndexOf("controller 1 put_Bounds 20,30,220,130"));
    EXPECT_EQ(GetWindow(window, GW_CHILD), news);
    EXPECT_TRUE(Shown(news));

    view->SetNewsPlacement(RECT{20, 30, 220, 130}, false);
    EXPECT_FALSE(Shown(news));
}

TEST_F(WebViewTest, NewsNavigationSkipsEmptyAndCurrentUrls) {
    CreateAndWaitForNews();
    view->NavigateNews(L"https://game.example/news");
    view->NavigateNews(L"");
    EXPECT_EQ(CountCalls("view 1 Navigate"), 1);
    view->NavigateNews(L"https://game.example/ranking");
    EXPECT_TRUE(fake.Called("view 1 Navigate https://game.example/ranking"));
    EXPECT_TRUE(Logged("WebView: news view navigating to https://game.example/ranking"));
    EXPECT_EQ(view->NewsUrl(), L"https://game.example/ranking");
    view->NavigateNews(L"https://game.example/news");
    EXPECT_EQ(CountCalls("view 1 Navigate"), 3);
}

TEST_F(WebViewTest, NewsRequestedBeforeTheViewExistsOpensWhenReady) {
    ASSERT_TRUE(Create());
    view->NavigateNews(L"https://game.example/ranking");
    ASSERT_TRUE(WaitForCall("view 1 Navigate ", true));
    EXPECT_EQ(CountCalls("view 1 Navigate"), 1);
    EXPECT_TRUE(fake.Called("view 1 Navigate https://game.example/ranking"));
}

TEST_F(WebViewTest, FailedNewsNavigationIsLogged) {
    CreateAndWaitForNews();
    EXPECT_EQ(fake.Command("NAVCOMPLETE 1 1 0"), "OK 1");
    EXPECT_FALSE(Logged("news navigation FAILED"));
    EXPECT_EQ(fake.Command("NAVCOMPLETE 1 0 12"), "OK 1");
    EXPECT_TRUE(Logged("WebView: news navigation FAILED (webErrorStatus=12) for https://game.example/news"));
}

TEST_F(WebViewTest, NewsControllerFailureLeavesTheMainViewRunning) {
    fake.Command("SET controller.1 0x80004005");
    ASSERT_TRUE(Create());
    ASSERT_TRUE(WaitForLog("WebView: news controller failed 0x80004005"));
    EXPECT_EQ(g_closeRequests, 0);
    view->SetNewsPlacement(RECT{0, 0, 10, 10}, true);
    view->NavigateNews(L"https://game.example/ranking");
    EXPECT_EQ(view->NewsUrl(), L"https://game.example/ranking");
    EXPECT_EQ(CountCalls("view 1"), 0);
    Deliver("https://game.example/", R"({"cmd":"still"})");
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(WebViewTest, NewsControllerRefusedOnTheSpotLeavesTheMainViewRunning) {
    fake.Command("SET controller.call.1 0x8007000e");
    ASSERT_TRUE(Create());
    ASSERT_TRUE(WaitForLog("WebView: news controller failed 0x8007000e"));
    EXPECT_TRUE(view->HasMainView());
    EXPECT_FALSE(view->HasNewsView());
    view->SetNewsPlacement(RECT{0, 0, 10, 10}, true);
    view->NavigateNews(L"https://game.example/ranking");
    EXPECT_EQ(view->NewsUrl(), L"https://game.example/ranking");
    EXPECT_EQ(fake.ViewCount(), 1);
    EXPECT_EQ(g_closeRequests, 0);
    EXPECT_TRUE(g_boxes.empty());
}

// The player followed a link inside the news view; the News tab must bring
// the news page back although it is still the last URL the page asked for.
TEST_F(WebViewTest, NewsTabBringsThePlayerBackAfterALinkInsideTheView) {
    CreateAndWaitForNews();
    ASSERT_EQ(fake.Command("NAVIGATE 1 https://game.example/news/article-7"), "OK");
    view->NavigateNews(L"https://game.example/news");
    EXPECT_EQ(CountCalls("view 1 Navigate"), 2);
    EXPECT_EQ(fake.Calls().back(), "view 1 Navigate https://game.example/news");
    const std::string shown = fake.Views().at(1);
    EXPECT_EQ(shown.substr(shown.rfind(" url=")), " url=https://game.example/news");

    // Back on the news page: asking again does not reload it.
    view->NavigateNews(L"https://game.example/news");
    EXPECT_EQ(CountCalls("view 1 Navigate"), 2);

    // The same after the ranking tab: a link there, then Ranking again.
    view->NavigateNews(L"https://game.example/ranking");
    fake.Command("NAVIGATE 1 https://game.example/ranking?page=2");
    view->NavigateNews(L"https://game.example/ranking");
    EXPECT_EQ(CountCalls("view 1 Navigate https://game.example/ranking"), 2);
}

// On the runtime a view's source changes only when a navigation commits.
// While the first news page is still loading the view shows nothing of its
// own, and the page's first News request must not load it a second time.
TEST_F(WebViewTest, NewsRequestedWhileTheFirstPageLoadsIsNotLoadedTwice) {
    fake.Command("SET source.oncomplete 1");
    CreateAndWaitForNews();
    view->NavigateNews(L"https://game.example/news");
    EXPECT_EQ(CountCalls("view 1 Navigate"), 1);
    EXPECT_EQ(fake.Command("NAVCOMPLETE 1 1 0"), "OK 1");
    view->NavigateNews(L"https://game.example/news");
    EXPECT_EQ(CountCalls("view 1 Navigate"), 1);

    // A link inside the view, committed: News brings the page back.
    fake.Command("NAVIGATE 1 https://game.example/news/article-7");
    view->NavigateNews(L"https://game.example/news");
    EXPECT_EQ(CountCalls("view 1 Navigate"), 2);
}

TEST_F(WebViewTest, UnidentifiedNewsWindowIsLogged) {
    fake.Command("SET childwindow 0");
    CreateAndWaitForNews();
    EXPECT_TRUE(Logged("WebView: could not identify the news view window; it may stay hidden behind the UI"));
}

}  // namespace

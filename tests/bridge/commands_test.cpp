// Page commands: exact dispatch, argument fallbacks and what each one does.
#include "bridge_fixture.h"

namespace vr::test {
namespace {

using CommandsTest = BridgeTest;

std::wstring ReadIni(const std::wstring& path, const wchar_t* section, const wchar_t* key) {
    wchar_t buffer[256];
    const DWORD n = GetPrivateProfileStringW(section, key, L"<absent>", buffer, 256, path.c_str());
    return std::wstring(buffer, n);
}

TEST_F(CommandsTest, OnlyExactCommandObjectsAreObeyed) {
    Make();
    Send(R"({"cmd":"UI.READY"})");
    Send(R"({"cmd":"ui.ready "})");
    Send(R"({"cmd":" window.close"})");
    Send(R"("{\"cmd\":\"ui.ready\"}")");  // the page posted a string holding JSON
    Send(R"({"command":"ui.ready"})");
    Send(R"({"cmd":""})");
    Send("not json");
    Send("");
    Send(R"({"cmd":"window.close","extra":[1,{"cmd":"x"}]})");  // arguments never confuse the name
    EXPECT_EQ(host.Calls(), std::vector<std::string>{"Close"});
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_FALSE(dir.Exists(L"PatcherSettings.ini"));
}

TEST_F(CommandsTest, WindowCommandsReachTheHostInOrder) {
    Make();
    Send(R"({"cmd":"window.drag"})");
    Send(R"({"cmd":"window.minimize"})");
    Send(R"({"cmd":"window.close"})");
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginDrag", "Minimize", "Close"}));
    EXPECT_EQ(host.EventCount(), 0u);  // commands get no replies
}

TEST_F(CommandsTest, NewsRectTakesFallbacksAndLenientNumbers) {
    Make();
    Send(R"({"cmd":"news.rect"})");
    Send(R"({"cmd":"news.rect","visible":true,"x":24,"y":96,"w":640,"h":360})");
    Send(R"({"cmd":"news.rect","visible":"0","x":"12","y":12.7,"w":"abc","h":-5})");
    Send(R"({"cmd":"news.rect","visible":false})");
    Send(R"({"cmd":"news.rect","visible":"yes"})");
    Send(R"({"cmd":"news.rect","visible":1,"x":4294967297})");  // low 32 bits: 1
    const std::vector<NewsRect> rects = host.NewsRects();
    ASSERT_EQ(rects.size(), 6u);
    auto same = [](const NewsRect& r, int32_t x, int32_t y, int32_t w, int32_t h, bool v) {
        return r.x == x && r.y == y && r.width == w && r.height == h && r.visible == v;
    };
    EXPECT_TRUE(same(rects[0], 0, 0, 0, 0, true));
    EXPECT_TRUE(same(rects[1], 24, 96, 640, 360, true));
    EXPECT_TRUE(same(rects[2], 12, 12, 0, -5, false));
    EXPECT_TRUE(same(rects[3], 0, 0, 0, 0, false));
    EXPECT_TRUE(same(rects[4], 0, 0, 0, 0, false));
    EXPECT_TRUE(same(rects[5], 1, 0, 0, 0, true));
}

TEST_F(CommandsTest, NewsNavigateKnowsTwoTargetsExactly) {
    Make();
    Send(R"({"cmd":"news.navigate","target":"ranking"})");
    Send(R"({"cmd":"news.navigate","target":"News"})");
    Send(R"({"cmd":"news.navigate","target":"https://evil.example/"})");
    Send(R"({"cmd":"news.navigate"})");
    Send(R"({"cmd":"news.navigate","target":"news"})");
    EXPECT_EQ(host.NavigatedUrls(), (std::vector<std::wstring>{L"https://www.veltrune.example/rankings.php",
                                                               L"https://www.veltrune.example/news.php"}));
}

TEST_F(CommandsTest, OpenUrlMapsKeysToConfiguredWebLinksOnly) {
    LogCapture log;
    config.faq = L"https://faq.example/q";
    config.wiki = L"ftp://files.example/wiki";
    config.gallery = L"www.example/gallery";
    config.roadmap = L"HTTPS://shouting.example/";
    config.youtube.clear();
    Make();
    Send(R"({"cmd":"openurl","target":"faq"})");
    Send(R"({"cmd":"openurl","target":"register"})");
    Send(R"({"cmd":"openurl","target":"youtube"})");  // configured empty
    Send(R"({"cmd":"openurl","target":"https://evil.example/"})");
    Send(R"({"cmd":"openurl","target":"FAQ"})");
    Send(R"({"cmd":"openurl"})");
    EXPECT_EQ(opened,
              (std::vector<std::wstring>{L"https://faq.example/q", L"https://www.veltrune.example/register.php"}));
    EXPECT_FALSE(log.Has("GameLaunch: refused non-web url"));

    for (const char* refused : {"wiki", "gallery", "roadmap"}) {
        Send(std::string(R"({"cmd":"openurl","target":")") + refused + "\"}");
    }
    EXPECT_EQ(opened.size(), 2u);
    const auto lines = log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "GameLaunch: refused non-web url"), 3);
    EXPECT_EQ(host.Calls().size(), 0u);
}

TEST_F(CommandsTest, PreferenceCommandsStoreValuesAsSentAndInitReadsThemBack) {
    Make();
    const std::wstring prefs = dir.Join(L"PatcherSettings.ini");
    Send(R"({"cmd":"settings.setClientCount","count":0})");
    EXPECT_EQ(ReadIni(prefs, L"option", L"ClientCount"), L"0");
    Send(R"({"cmd":"settings.setAnimatedBg","enabled":false})");
    EXPECT_EQ(ReadIni(prefs, L"option", L"AnimatedBackground"), L"0");

    Send(R"({"cmd":"ui.ready"})");
    ASSERT_GE(host.WaitForEvent("init", 5000), 0);
    const std::string init = host.Events()[0];
    EXPECT_EQ(Field(init, "clientCount"), "0");
    EXPECT_EQ(Field(init, "animatedBg"), "false");

    Send(R"({"cmd":"settings.setAnimatedBg"})");
    EXPECT_EQ(ReadIni(prefs, L"option", L"AnimatedBackground"), L"1");
    Send(R"({"cmd":"settings.setClientCount"})");
    EXPECT_EQ(ReadIni(prefs, L"option", L"ClientCount"), L"1");
    Send(R"({"cmd":"settings.setClientCount","count":-7})");
    EXPECT_EQ(ReadIni(prefs, L"option", L"ClientCount"), L"-7");
}

TEST_F(CommandsTest, BandwidthCapIsStoredInTheIniAndOfferedWithTheOptions) {
    config.maxKiBps = 2048;
    Make();
    const std::wstring ini = dir.Join(L"Veltrune.ini");
    Send(R"({"cmd":"options.load"})");
    Send(R"({"cmd":"settings.setMaxKiBps","maxKiBps":1024})");
    EXPECT_EQ(ReadIni(ini, L"patch", L"maxKiBps"), L"1024");
    Send(R"({"cmd":"options.load"})");
    Send(R"({"cmd":"settings.setMaxKiBps","maxKiBps":-3})");  // no cap, like 0
    EXPECT_EQ(ReadIni(ini, L"patch", L"maxKiBps"), L"0");
    Send(R"({"cmd":"options.load"})");
    ASSERT_EQ(host.EventCount(), 3u);
    EXPECT_EQ(Field(host.Events()[0], "maxKiBps"), "2048");
    EXPECT_EQ(Field(host.Events()[1], "maxKiBps"), "1024");
    EXPECT_EQ(Field(host.Events()[2], "maxKiBps"), "0");
}

TEST_F(CommandsTest, OptionsSaveWithOnlyTheCommandWritesTheDefaults) {
    // The game's older line format: every listed key is rewritten.
    dir.Write(L"Config/Settings.ini",
              "Detail 0\r\ndistant 4\r\nview 1\r\nshadow 3\r\nfullscreen 1\r\nresolution 1920 1080\r\n");
    Make();
    Send(R"({"cmd":"options.save"})");
    EXPECT_EQ(dir.Read(L"Config/Settings.ini"),
              "detail 2\r\ndistant 2\r\nview 2\r\nshadow 2\r\nfullscreen 0\r\nresolution 1024 768\r\n");
    EXPECT_EQ(host.EventCount(), 0u);  // the page asks with "options.load"

    Send(
        R"({"cmd":"options.save","detail":"4","distant":1,"view":0,"shadow":3,"fullscreen":1,"resW":1280,"resH":720.9})");
    Send(R"({"cmd":"options.load"})");
    ASSERT_EQ(host.EventCount(), 1u);
    EXPECT_EQ(host.Events()[0],
              "{\"evt\":\"options\",\"detail\":4,\"distant\":1,\"view\":0,\"shadow\":3,\"fullscreen\":true,"
              "\"resW\":1280,\"resH\":720,\"resolutions\":[],\"maxKiBps\":0}");
}

TEST_F(CommandsTest, OptionsSaveInIniFormatCreatesTheFile) {
    config.useNewConfigFormat = true;
    dir.MakeDir(L"Config");
    Make();
    Send(R"({"cmd":"options.save","fullscreen":true,"resW":-800})");
    const std::wstring path = dir.Join(L"Config\\Settings.ini");
    EXPECT_EQ(ReadIni(path, L"option", L"detail"), L"2");
    EXPECT_EQ(ReadIni(path, L"option", L"fullscreen"), L"1");
    EXPECT_EQ(ReadIni(path, L"option", L"resolution"), L"-800 768");
}

TEST_F(CommandsTest, PlayBeforeASuccessfulPassDoesNothing) {
    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"quorvane.exe").c_str(), FALSE));
    Make();
    Send(R"({"cmd":"game.play","clients":3})");
    Sleep(300);  // a wrongly started launch thread would have acted by now
    EXPECT_FALSE(dir.Exists(L"PatcherSettings.ini"));
    EXPECT_FALSE(dir.Exists(L"starts.txt"));
    EXPECT_EQ(host.Calls().size(), 0u);
}

}  // namespace
}  // namespace vr::test

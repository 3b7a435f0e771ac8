// Page commands and the events built for the page: exact dispatch, argument
// fallbacks, stored preferences and every event's members in order.
#include "bridge_fixture.h"

namespace vr::test {
namespace {

using CommandsTest = BridgeTest;

TEST_F(CommandsTest, PatchEventsHaveTheirMembersInOrder) {
    Bridge& b = Make();
    ProgressCounters counters;
    b.SendPhase("checking", "");
    b.SendFileCount(counters, 7);
    b.SendFileProgress(counters, 40, 0.5, 100.0, L"Data\\\u00dcn \"x\".dat");  // none done yet: index 0
    b.SendFilesDone(counters, 2, 3);
    b.SendFilesDone(counters, 30000000, 30000000);  // a 32-bit product would overflow
    b.SendFilesDone(counters, 0, 0);
    b.SendVerifyProgress(1, 4, 0.2, 0.8);
    b.SendMaintenance(false);
    b.SendReady(true);
    b.SendError("Not found:\nhttp://127.0.0.1/x.gz");
    const std::vector<std::string> expected = {
        R"({"evt":"phase","phase":"checking","text":""})",
        R"({"evt":"filecount","fileCount":7})",
        "{\"evt\":\"progress\",\"filePercent\":40,\"speed\":0.50,\"doneMb\":100.00,\"file\":\"Data\\\\\xC3\x9Cn "
        "\\\"x\\\".dat\",\"fileIndex\":0,\"fileCount\":7,\"totalPercent\":0}",
        R"({"evt":"progress","fileIndex":2,"fileCount":3,"totalPercent":66})",
        R"({"evt":"progress","fileIndex":30000000,"fileCount":30000000,"totalPercent":100})",
        R"({"evt":"progress","fileIndex":0,"fileCount":0,"totalPercent":0})",
        R"({"evt":"verify","files":1,"fileCount":4,"doneMb":0.20,"totalMb":0.80})",
        R"({"evt":"maintenance","active":false})",
        R"({"evt":"ready","canPlay":true})",
        R"({"evt":"error","message":"Not found:\nhttp://127.0.0.1/x.gz"})",
    };
    EXPECT_EQ(host.Events(), expected);
}

TEST_F(CommandsTest, OnlyExactCommandsAreObeyedAndWindowCommandsReachTheHost) {
    Make();
    for (const char* ignored : {R"({"cmd":"UI.READY"})", R"({"cmd":"ui.ready "})", R"({"cmd":" window.close"})",
                                R"("{\"cmd\":\"ui.ready\"}")", R"({"command":"ui.ready"})", "not json", ""}) {
        Send(ignored);
    }
    Send(R"({"cmd":"window.drag","extra":[1,{"cmd":"x"}]})");  // arguments never confuse the name
    Send(R"({"cmd":"window.minimize"})");
    for (const char* target : {"ranking", "News", "https://evil.example/", "news"}) {
        Send(std::string(R"({"cmd":"news.navigate","target":")") + target + "\"}");
    }
    Send(R"({"cmd":"news.rect"})");
    Send(R"({"cmd":"news.rect","visible":false,"x":24,"y":96,"w":640,"h":-5})");
    Send(R"({"cmd":"news.rect","x":4294967297})");  // the low 32 bits: 1
    Send(R"({"cmd":"window.close"})");
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginDrag", "Minimize", "NavigateNews", "NavigateNews",
                                                      "SetNewsRect", "SetNewsRect", "SetNewsRect", "Close"}));
    EXPECT_EQ(host.NavigatedUrls(), (std::vector<std::wstring>{L"https://www.veltrune.example/rankings.php",
                                                               L"https://www.veltrune.example/news.php"}));
    const std::vector<NewsRect> r = host.NewsRects();
    EXPECT_TRUE(r[0].x == 0 && r[0].y == 0 && r[0].width == 0 && r[0].height == 0 && r[0].visible);
    EXPECT_TRUE(r[1].x == 24 && r[1].y == 96 && r[1].width == 640 && r[1].height == -5 && !r[1].visible);
    EXPECT_TRUE(r[2].x == 1 && r[2].visible);
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_EQ(host.EventCount(), 0u);  // commands get no replies
}

TEST_F(CommandsTest, OpenUrlOpensConfiguredWebLinksByKeyOnly) {
    LogCapture log;
    config.faq = L"https://faq.example/q";
    config.wiki = L"ftp://files.example/wiki";
    config.youtube.clear();
    Make();
    for (const char* target : {"faq", "register", "youtube", "https://evil.example/", "FAQ", "wiki", ""}) {
        Send(std::string(R"({"cmd":"openurl","target":")") + target + "\"}");
    }
    EXPECT_EQ(opened,
              (std::vector<std::wstring>{L"https://faq.example/q", L"https://www.veltrune.example/register.php"}));
    EXPECT_TRUE(log.Has("GameLaunch: refused non-web url"));
}

TEST_F(CommandsTest, PreferencesAreStoredAsSentAndInitReportsThem) {
    std::wstring askedFolder;
    seams.listBackgrounds = [&askedFolder](const std::wstring& folder) {
        askedFolder = folder;
        return std::vector<std::string>{"a\"b", "c\\d"};
    };
    Bridge& b = Make();
    b.SendInit();  // no preferences file yet
    EXPECT_EQ(host.Events().at(0),
              R"({"evt":"init","version":"v1.0.0","patchVersion":29,"clientCount":1,"animatedBg":true,)"
              R"("backgrounds":["a\"b","c\\d"],"links":{"register":"https://www.veltrune.example/register.php",)"
              R"("discord":"https://discord.gg/veltrune","youtube":"https://www.youtube.com/@veltrune",)"
              R"("facebook":"https://www.facebook.com/veltrune"}})");
    EXPECT_EQ(askedFolder, dir.Join(L"Config\\Assets"));

    const auto stored = [&](const std::string& args) {  // what "init" then reports
        Send(R"({"cmd":"settings.setClientCount")" + args + "}");
        Send(R"({"cmd":"settings.setAnimatedBg")" + args + "}");
        b.SendInit();
        return Field(host.Events().back(), "clientCount") + " " + Field(host.Events().back(), "animatedBg");
    };
    EXPECT_EQ(stored(R"(,"count":0,"enabled":false)"), "0 false");  // as stored, not clamped
    EXPECT_EQ(stored(""), "1 true");
    EXPECT_EQ(stored(R"(,"count":-7)"), "-7 true");
}

TEST_F(CommandsTest, GameOptionsAndTheBandwidthCapAreSavedAndOffered) {
    config.maxKiBps = 2048;
    dir.Write(L"Config/Settings.ini",
              "detail 3\r\ndistant 2\r\nview 2\r\nshadow 2\r\nfullscreen 1\r\nresolution 1600 900\r\n");
    seams.displayModes = [](uint32_t i, int32_t& w, int32_t& h) {
        w = 1024 + 896 * static_cast<int32_t>(i);
        h = 768 + 312 * static_cast<int32_t>(i);
        return i < 2;
    };
    Make();
    Send(R"({"cmd":"options.load"})");
    EXPECT_EQ(host.Events().at(0),
              R"({"evt":"options","detail":3,"distant":2,"view":2,"shadow":2,"fullscreen":true,"resW":1600,)"
              R"("resH":900,"resolutions":[{"w":1024,"h":768},{"w":1920,"h":1080}],"maxKiBps":2048})");

    Send(R"({"cmd":"options.save"})");  // every option falls back to its default
    EXPECT_EQ(dir.Read(L"Config/Settings.ini"),
              "detail 2\r\ndistant 2\r\nview 2\r\nshadow 2\r\nfullscreen 0\r\nresolution 1024 768\r\n");
    Send(R"({"cmd":"settings.setMaxKiBps","maxKiBps":1024})");
    EXPECT_NE(dir.Read(L"Veltrune.ini").find("maxKiBps=1024"), std::string::npos);
    Send(R"({"cmd":"settings.setMaxKiBps","maxKiBps":-3})");  // no cap, like 0
    EXPECT_NE(dir.Read(L"Veltrune.ini").find("maxKiBps=0"), std::string::npos);
    Send(R"({"cmd":"options.load"})");
    EXPECT_EQ(Field(host.Events().at(1), "maxKiBps"), "0");
}

}  // namespace
}  // namespace vr::test

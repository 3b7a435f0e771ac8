// Event texts, member by member: what the page's listener receives.
#include "bridge_fixture.h"

namespace vr::test {
namespace {

using EventsTest = BridgeTest;

TEST_F(EventsTest, PatchEventsHaveTheirMembersInOrderAndExactFormat) {
    Bridge& b = Make();
    ProgressCounters counters;
    b.SendPhase("checking", "");
    b.SendStatus("Server: 127.0.0.1 (3 ms)");
    b.SendFileCount(counters, 7);
    b.SendFileProgress(counters, 40, 0.5, 100.0, L"Data\\Ünïcode \"x\".dat");
    b.SendFilesDone(counters, 3, 7);
    b.SendFileProgress(counters, 100, 12.345, 0.004, L"b.dat");
    b.SendMaintenance(false);
    b.SendReady(true);
    b.SendError("A required file was not found on the server:\nhttp://127.0.0.1/x.gz");

    const std::vector<std::string> expected = {
        R"({"evt":"phase","phase":"checking","text":""})",
        R"j({"evt":"status","text":"Server: 127.0.0.1 (3 ms)"})j",
        R"({"evt":"filecount","fileCount":7})",
        // While the first file arrives the worker has completed none: index 0.
        "{\"evt\":\"progress\",\"filePercent\":40,\"speed\":0.50,\"doneMb\":100.00,"
        "\"file\":\"Data\\\\\xC3\x9Cn\xC3\xAF"
        "code \\\"x\\\".dat\",\"fileIndex\":0,\"fileCount\":7,\"totalPercent\":0}",
        R"({"evt":"progress","fileIndex":3,"fileCount":7,"totalPercent":42})",
        R"({"evt":"progress","filePercent":100,"speed":12.35,"doneMb":0.00,"file":"b.dat","fileIndex":3,"fileCount":7,"totalPercent":42})",
        R"({"evt":"maintenance","active":false})",
        R"({"evt":"ready","canPlay":true})",
        R"({"evt":"error","message":"A required file was not found on the server:\nhttp://127.0.0.1/x.gz"})",
    };
    EXPECT_EQ(host.Events(), expected);
    // The line feed travels escaped and comes out of the page's parser real.
    EXPECT_EQ(Field(host.Events().back(), "message"),
              "A required file was not found on the server:\nhttp://127.0.0.1/x.gz");
    EXPECT_EQ(counters.fileIndex, 3);
    EXPECT_EQ(counters.fileCount, 7);
}

TEST_F(EventsTest, TotalPercentIsZeroWithoutFilesAndTruncatesOtherwise) {
    Bridge& b = Make();
    ProgressCounters counters;
    b.SendFilesDone(counters, 0, 0);
    b.SendFilesDone(counters, 2, 3);
    b.SendFilesDone(counters, 3, 3);
    // 30 million files would overflow a 32-bit product; the percentage must not.
    b.SendFilesDone(counters, 30000000, 30000000);
    const auto events = host.Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(Field(events[0], "totalPercent"), "0");
    EXPECT_EQ(Field(events[1], "totalPercent"), "66");
    EXPECT_EQ(Field(events[2], "totalPercent"), "100");
    EXPECT_EQ(Field(events[3], "totalPercent"), "100");
}

TEST_F(EventsTest, InitWithDefaultsAndNoPreferencesFile) {
    Make().SendInit();
    ASSERT_EQ(host.EventCount(), 1u);
    EXPECT_EQ(host.Events()[0],
              "{\"evt\":\"init\",\"version\":\"v1.0.0\",\"patchVersion\":29,\"clientCount\":1,\"animatedBg\":true,"
              "\"backgrounds\":[],\"links\":{\"register\":\"https://www.veltrune.example/register.php\","
              "\"discord\":\"https://discord.gg/veltrune\",\"youtube\":\"https://www.youtube.com/@veltrune\","
              "\"facebook\":\"https://www.facebook.com/veltrune\"}}");
}

TEST_F(EventsTest, InitListsUsableBackgroundsFromTheAssetFolderAndReadsPreferences) {
    config.assetsFolder = L"Art\\Bg";
    dir.Write(L"Art/Bg/Background1.mp4", "v");
    dir.Write(L"Art/Bg/Background1.png", "p");
    dir.Write(L"Art/Bg/Background2.mp4", "v");  // no picture: not usable
    dir.Write(L"Art/Bg/Background it's \u00e4.mp4", "v");
    dir.Write(L"Art/Bg/Background it's \u00e4.png", "p");
    dir.Write(L"PatcherSettings.ini", "[option]\r\nClientCount=0\r\nAnimatedBackground=no\r\n");
    Make().SendInit();

    const std::string init = host.Events().at(0);
    EXPECT_EQ(Field(init, "clientCount"), "0");  // reported as stored, not clamped
    EXPECT_EQ(Field(init, "animatedBg"), "false");
    const std::string list = Field(init, "backgrounds");
    EXPECT_NE(list.find("\"Background1\""), std::string::npos) << list;
    EXPECT_NE(list.find("\"Background it's \xC3\xA4\""), std::string::npos) << list;
    EXPECT_EQ(list.find("Background2"), std::string::npos) << list;
    EXPECT_EQ(MemberNames(init), (std::vector<std::string>{"evt", "version", "patchVersion", "clientCount",
                                                           "animatedBg", "backgrounds", "links"}));
}

TEST_F(EventsTest, BackgroundNamesWithQuotesAndBackslashesStayValidJson) {
    std::wstring askedFolder;
    seams.listBackgrounds = [&askedFolder](const std::wstring& folder) {
        askedFolder = folder;
        return std::vector<std::string>{"a\"b", "c\\d", "e"};
    };
    Make().SendInit();
    EXPECT_EQ(askedFolder, dir.path() + L"\\Config\\Assets");
    const std::string init = host.Events().at(0);
    EXPECT_NE(init.find(R"("backgrounds":["a\"b","c\\d","e"],"links")"), std::string::npos) << init;
    // The whole event still parses member by member after the array.
    EXPECT_EQ(MemberNames(init).back(), "links");
    EXPECT_EQ(Field(init, "version"), "v1.0.0");
}

TEST_F(EventsTest, OptionsCarryTheSettingsFileAndTheDisplayModes) {
    config.useNewConfigFormat = true;
    dir.Write(L"Config/Settings.ini", "[option]\r\ndetail=3\r\nfullscreen=1\r\nresolution=1600 900\r\n");
    std::vector<Resolution> modes = {{1024, 768}, {1920, 1080}};
    seams.displayModes = [&modes](uint32_t i, int32_t& w, int32_t& h) {
        if (i >= modes.size()) return false;
        w = modes[i].first;
        h = modes[i].second;
        return true;
    };
    Make().SendOptions();
    EXPECT_EQ(
        host.Events().at(0),
        "{\"evt\":\"options\",\"detail\":3,\"distant\":2,\"view\":2,\"shadow\":2,\"fullscreen\":true,"
        "\"resW\":1600,\"resH\":900,\"resolutions\":[{\"w\":1024,\"h\":768},{\"w\":1920,\"h\":1080}],\"maxKiBps\":0}");
}

TEST_F(EventsTest, OptionsWithoutFileOrDisplayModesGiveDefaultsAndAnEmptyList) {
    Make().SendOptions();
    EXPECT_EQ(host.Events().at(0),
              "{\"evt\":\"options\",\"detail\":2,\"distant\":2,\"view\":2,\"shadow\":2,\"fullscreen\":false,"
              "\"resW\":1024,\"resH\":768,\"resolutions\":[],\"maxKiBps\":0}");
}

}  // namespace
}  // namespace vr::test

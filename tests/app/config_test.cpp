// Built-in defaults overridden by a real Veltrune.ini read through the
// platform's profile functions.
#include "app/config.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using namespace std::string_literals;
using Strings = std::vector<std::wstring>;

class Config : public ::testing::Test {
protected:
    LauncherConfig Load(const std::string& ini) const {
        dir_.Write(L"Veltrune.ini", ini);
        return LoadLauncherConfig(dir_.path());
    }
    test::LogCapture log_;
    test::TempDir dir_;
};

TEST_F(Config, WithoutAFileTheDefaultsStandAndTheLogSaysWhich) {
    EXPECT_EQ(LoadLauncherConfig(dir_.Join(L"absent")).listFile, L"list.txt");
    dir_.Write(L"Veltrune.ini\\Veltrune.ini", "[patch]\r\nlistFile=other.txt\r\n");
    EXPECT_EQ(LoadLauncherConfig(dir_.path()).listFile, L"list.txt");  // a folder of that name
    EXPECT_EQ(LoadLauncherConfig(dir_.Join(L"Veltrune.ini") + L"\\").listFile, L"other.txt");
    const std::string none = "Config: no Veltrune.ini override, using built-in defaults";
    const std::string noKey =
        "Config: no [patch] listKey; patch lists are not signature-checked, so a patch server can make players run "
        "a program of their choice";
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{none, noKey, none, noKey,
                                                      "Config: applying overrides from Veltrune.ini", noKey}));
}

TEST_F(Config, EveryTextKeyOverridesItsOwnField) {
    // Each key gets its own number; two settings are not configurable.
    const LauncherConfig c = Load(
        "[patch]\r\nlauncherVersion=1\r\nserverUrl=2\r\nlistFile=3\r\nmaintFile=4\r\nnewLauncher=5\r\nupdaterExe=6\r\n"
        "listKey=7\r\nappDataFolderName=x\r\n[game]\r\ngameExe=8\r\nstartupSalt=9\r\nnewsUrl=10\r\nrankingUrl=11\r\n"
        "newsContentSelector=12\r\ngameConfigFile=13\r\n[ui]\r\npatcherUrl=14\r\nassetsHost=15\r\nassetsFolder=16\r\n"
        "[links]\r\nregister=17\r\ndiscord=18\r\nyoutube=19\r\nfacebook=20\r\nroadmap=21\r\ngallery=22\r\nwiki=23\r\n"
        "faq=24\r\n[discord]\r\nguildId=25\r\nallowedExecutables=evil.exe\r\n");
#define VR_FIELD(name) \
    { #name, c.name }
    const std::pair<const char*, const std::wstring&> fields[] = {
        VR_FIELD(launcherVersion), VR_FIELD(serverUrl),  VR_FIELD(listFile),   VR_FIELD(maintFile),
        VR_FIELD(newLauncher),     VR_FIELD(updaterExe), VR_FIELD(listKey),    VR_FIELD(gameExe),
        VR_FIELD(startupSalt),     VR_FIELD(newsUrl),    VR_FIELD(rankingUrl), VR_FIELD(newsContentSelector),
        VR_FIELD(gameConfigFile),  VR_FIELD(patcherUrl), VR_FIELD(assetsHost), VR_FIELD(assetsFolder),
        VR_FIELD(register_),       VR_FIELD(discord),    VR_FIELD(youtube),    VR_FIELD(facebook),
        VR_FIELD(roadmap),         VR_FIELD(gallery),    VR_FIELD(wiki),       VR_FIELD(faq),
        VR_FIELD(guildId)};
#undef VR_FIELD
    for (size_t i = 0; i < std::size(fields); ++i)
        EXPECT_EQ(fields[i].second, std::to_wstring(i + 1)) << fields[i].first;
    EXPECT_EQ(c.appDataFolderName, LauncherConfig().appDataFolderName);
    EXPECT_EQ(c.allowedExecutables, LauncherConfig().allowedExecutables);
}

TEST_F(Config, EmptyAbsentAndSentinelValues) {
    const LauncherConfig c = Load(
        "[game]\r\nnewsContentSelector=\r\nuseNewConfigFormat=True\r\n[patch]\r\nlistFile=\x01\r\nmaintFile=\x01\x01");
    EXPECT_EQ(c.newsContentSelector, L"");  // empty clears
    EXPECT_EQ(c.gameExe, L"quorvane.exe");  // absent keeps the default
    EXPECT_TRUE(c.useNewConfigFormat);
    // Exactly U+0001 is the absent-key sentinel: it cannot be told from a missing key.
    EXPECT_EQ(c.listFile + L"|" + c.maintFile, L"list.txt|\x01\x01");
}

TEST_F(Config, MirrorsFallBackToServerUrlThenToTheDefaults) {
    const Strings defaults = LauncherConfig().mirrors, s = {L"https://s.test/"};
    const std::pair<const char*, Strings> rows[] = {{"mirrors=a , b|a", {L"a", L"b", L"a"}},
                                                    {"serverUrl=https://x.test/\r\nmirrors=https://s.test/", s},
                                                    {"mirrors=,|,\r\nserverUrl=https://x.test/", {}},
                                                    {"mirrors=\r\nserverUrl=https://s.test/", s},
                                                    {"mirrors=\" \t \"\r\nserverUrl=https://s.test/", s},
                                                    {"serverUrl=https://s.test/", s},
                                                    {"serverUrl=", {L""}},
                                                    {"mirrors=", defaults},
                                                    {"listFile=x.txt", defaults}};
    for (const auto& [patch, mirrors] : rows) EXPECT_EQ(Load("[patch]\r\n"s + patch).mirrors, mirrors) << patch;
}

TEST_F(Config, NumbersAndTheirRanges) {
    // patchVersion, connections, maxKiBps; letters read as 0.
    const std::pair<const char*, std::vector<int32_t>> rows[] = {
        {"listFile=x.txt", {29, 6, 0}},
        {"patchVersion=30\r\nconnections=1\r\nmaxKiBps=1024", {30, 1, 1024}},
        {"patchVersion=abc\r\nconnections=16\r\nmaxKiBps=0", {0, 16, 0}},
        {"patchVersion=12abc\r\nconnections=0\r\nmaxKiBps=-5", {12, 1, 0}},
        {"connections=abc", {29, 1, 0}},
        {"connections=40", {29, 16, 0}}};
    for (const auto& [patch, numbers] : rows) {
        const LauncherConfig c = Load("[patch]\r\n"s + patch);
        EXPECT_EQ((std::vector<int32_t>{c.patchVersion, c.connections, c.maxKiBps}), numbers) << patch;
    }
    EXPECT_TRUE(log_.Has("Config: [patch] connections=40 is out of range 1..16; using 16"));
}

// The operator's serial floor reads like a list serial (up to 18 digits),
// and a launcher without a key says once per start what that leaves open,
// loudest when a mirror is plain HTTP.
TEST_F(Config, ListMinSerialAndTheWarningWithoutAKey) {
    const std::pair<const char*, int64_t> rows[] = {{"listFile=x.txt", 0},
                                                    {"listMinSerial=1796600000", 1796600000},
                                                    {"listMinSerial= 999999999999999999 ", 999999999999999999},
                                                    {"listMinSerial=1000000000000000000", 0},
                                                    {"listMinSerial=17e8", 0}};
    for (const auto& [patch, floor] : rows) EXPECT_EQ(Load("[patch]\r\n"s + patch).listMinSerial, floor) << patch;
    EXPECT_TRUE(log_.Has("Config: [patch] listMinSerial=17e8 is not a serial of 1 to 18 digits; ignored"));

    const auto lastTwoLines = [this](const std::string& patch) {
        Load("[patch]\r\n" + patch);
        const std::vector<std::string> lines = log_.Lines();
        return std::vector<std::string>(lines.end() - 2, lines.end());
    };
    const std::string applying = "Config: applying overrides from Veltrune.ini";
    EXPECT_EQ(lastTwoLines("mirrors=https://a.test/|HTTP://b.test/|http://c.test/"),
              (std::vector<std::string>{applying,
                                        "Config: WARNING: no [patch] listKey and HTTP://b.test/ is plain "
                                        "http://; anyone on the way to it can make players run a program "
                                        "of their choice"}));
    EXPECT_EQ(lastTwoLines("mirrors=http://a.test/\r\nlistKey=QUJD").back(), applying);
}

}  // namespace
}  // namespace vr

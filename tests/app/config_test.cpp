// Built-in defaults overridden by a real Veltrune.ini read through the
// platform's profile functions.
#include "app/config.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {
namespace {

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
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{none, none, "Config: applying overrides from Veltrune.ini"}));
}

TEST_F(Config, EveryTextKeyOverridesItsOwnField) {
    using Field = std::wstring LauncherConfig::*;
    const struct {
        const char* section;
        const char* key;
        Field field;
    } keys[] = {
        {"patch", "launcherVersion", &LauncherConfig::launcherVersion},
        {"patch", "serverUrl", &LauncherConfig::serverUrl},
        {"patch", "listFile", &LauncherConfig::listFile},
        {"patch", "maintFile", &LauncherConfig::maintFile},
        {"patch", "newLauncher", &LauncherConfig::newLauncher},
        {"patch", "updaterExe", &LauncherConfig::updaterExe},
        {"patch", "listKey", &LauncherConfig::listKey},
        {"game", "gameExe", &LauncherConfig::gameExe},
        {"game", "startupSalt", &LauncherConfig::startupSalt},
        {"game", "newsUrl", &LauncherConfig::newsUrl},
        {"game", "rankingUrl", &LauncherConfig::rankingUrl},
        {"game", "newsContentSelector", &LauncherConfig::newsContentSelector},
        {"game", "gameConfigFile", &LauncherConfig::gameConfigFile},
        {"ui", "patcherUrl", &LauncherConfig::patcherUrl},
        {"ui", "assetsHost", &LauncherConfig::assetsHost},
        {"ui", "assetsFolder", &LauncherConfig::assetsFolder},
        {"links", "register", &LauncherConfig::register_},
        {"links", "discord", &LauncherConfig::discord},
        {"links", "youtube", &LauncherConfig::youtube},
        {"links", "facebook", &LauncherConfig::facebook},
        {"links", "roadmap", &LauncherConfig::roadmap},
        {"links", "gallery", &LauncherConfig::gallery},
        {"links", "wiki", &LauncherConfig::wiki},
        {"links", "faq", &LauncherConfig::faq},
        {"discord", "guildId", &LauncherConfig::guildId},
    };
    // Every value names its key; two settings are not configurable.
    std::string ini = "[patch]\r\nappDataFolderName=x\r\n";
    std::string section = "patch";
    for (const auto& k : keys) {
        if (section != k.section) ini += "[" + (section = k.section) + "]\r\n";
        ini += std::string(k.key) + "=" + k.section + "." + k.key + "\r\n";
    }
    const LauncherConfig c = Load(ini + "allowedExecutables=evil.exe\r\n");
    for (const auto& k : keys) EXPECT_EQ(c.*k.field, Utf8ToWide(std::string(k.section) + "." + k.key)) << k.key;
    EXPECT_EQ(c.appDataFolderName, LauncherConfig().appDataFolderName);
    EXPECT_EQ(c.allowedExecutables, LauncherConfig().allowedExecutables);
}

TEST_F(Config, EmptyAbsentAndSentinelValues) {
    const LauncherConfig c = Load("[game]\r\nnewsContentSelector=\r\nuseNewConfigFormat=True\r\n[patch]\r\n"
                                  "listFile=\x01\r\nmaintFile=\x01\x01\r\n[links]\r\nfaq=" + std::string(3000, 'f'));
    EXPECT_EQ(c.newsContentSelector, L"");  // empty clears
    EXPECT_EQ(c.gameExe, L"quorvane.exe");  // absent keeps the default
    EXPECT_TRUE(c.useNewConfigFormat);
    // Exactly U+0001 is the absent-key sentinel: it cannot be told from a missing key.
    EXPECT_EQ(c.listFile, L"list.txt");
    EXPECT_EQ(c.maintFile, L"\x01\x01");
    EXPECT_EQ(c.faq, std::wstring(1023, L'f'));
}

TEST_F(Config, MirrorsFallBackToServerUrlThenToTheDefaults) {
    const Strings defaults = LauncherConfig().mirrors;
    const struct {
        const char* patch;
        Strings mirrors;
    } rows[] = {
        {"mirrors=a , b|a", {L"a", L"b", L"a"}},
        {"serverUrl=https://s.test/\r\nmirrors=https://m.test/", {L"https://m.test/"}},
        {"mirrors=,|,\r\nserverUrl=https://s.test/", {}},
        {"mirrors=\r\nserverUrl=https://s.test/", {L"https://s.test/"}},
        {"mirrors=\" \t \"\r\nserverUrl=https://s.test/", {L"https://s.test/"}},
        {"serverUrl=https://only.test/", {L"https://only.test/"}},
        {"serverUrl=", {L""}},
        {"mirrors=", defaults},
        {"listFile=x.txt", defaults},
    };
    for (const auto& row : rows) EXPECT_EQ(Load(std::string("[patch]\r\n") + row.patch).mirrors, row.mirrors) << row.patch;
}

TEST_F(Config, NumbersAndTheirRanges) {
    const struct {
        const char* patch;
        int32_t patchVersion, connections, maxKiBps;
    } rows[] = {
        {"listFile=x.txt", 29, 6, 0},
        {"patchVersion=30\r\nconnections=1\r\nmaxKiBps=1024", 30, 1, 1024},
        {"patchVersion=abc\r\nconnections=16\r\nmaxKiBps=0", 0, 16, 0},
        {"patchVersion=12abc\r\nconnections=0\r\nmaxKiBps=-5", 12, 1, 0},
        {"connections=17", 29, 16, 0},
        {"connections=abc", 29, 1, 0},  // letters read as 0
    };
    for (const auto& row : rows) {
        const LauncherConfig c = Load(std::string("[patch]\r\n") + row.patch);
        EXPECT_EQ(c.patchVersion, row.patchVersion) << row.patch;
        EXPECT_EQ(c.connections, row.connections) << row.patch;
        EXPECT_EQ(c.maxKiBps, row.maxKiBps) << row.patch;
    }
    static_cast<void>(Load("[patch]\r\nconnections=40\r\n"));
    EXPECT_EQ(log_.Lines().back(), "Config: [patch] connections=40 is out of range 1..16; using 16");

    // patchVersion is stored as the platform returns it, whatever its sign rule.
    const int32_t negative = Load("[patch]\r\npatchVersion=-5\r\n").patchVersion;
    EXPECT_EQ(negative, static_cast<int32_t>(GetPrivateProfileIntW(L"patch", L"patchVersion", 29,
                                                                   dir_.Join(L"Veltrune.ini").c_str())));
}

}  // namespace
}  // namespace vr

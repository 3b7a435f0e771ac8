// Built-in defaults overridden by a real Veltrune.ini read through
// the platform's profile functions.
#include "app/config.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/log.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using Strings = std::vector<std::wstring>;

const wchar_t kDefaultServer[] = L"https://patch.veltrune.example/Patch/";

class Config : public ::testing::Test {
protected:
    void SetUp() override { InitLog(dir_.path()); }

    void Ini(const std::string& text) const { dir_.Write(L"Veltrune.ini", text); }
    // A UTF-16LE file with its byte-order mark, for text beyond ASCII.
    void IniUtf16(const std::wstring& text) const {
        std::string bytes = "\xFF\xFE";
        for (wchar_t ch : text) {
            bytes += static_cast<char>(ch & 0xFF);
            bytes += static_cast<char>(ch >> 8);
        }
        dir_.Write(L"Veltrune.ini", bytes);
    }
    LauncherConfig Load() const { return LoadLauncherConfig(dir_.path()); }
    // The log's messages, without their time stamps.
    std::vector<std::string> LogMessages() const {
        std::vector<std::string> out;
        const std::string bytes = dir_.Read(L"Veltrune.log");
        size_t start = 0;
        for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
            out.push_back(bytes.substr(start + 13, end - start - 13));
        }
        return out;
    }

    test::TempDir dir_;
};

void ExpectDefaults(const LauncherConfig& c) {
    const LauncherConfig d;
    EXPECT_EQ(c.launcherVersion, d.launcherVersion);
    EXPECT_EQ(c.serverUrl, d.serverUrl);
    EXPECT_EQ(c.patchVersion, d.patchVersion);
    EXPECT_EQ(c.mirrors, d.mirrors);
    EXPECT_EQ(c.listFile, d.listFile);
    EXPECT_EQ(c.maintFile, d.maintFile);
    EXPECT_EQ(c.newLauncher, d.newLauncher);
    EXPECT_EQ(c.updaterExe, d.updaterExe);
    EXPECT_EQ(c.connections, d.connections);
    EXPECT_EQ(c.maxKiBps, d.maxKiBps);
    EXPECT_EQ(c.listKey, L"");  // lists are not checked unless a key is shipped
    EXPECT_EQ(c.appDataFolderName, d.appDataFolderName);
    EXPECT_EQ(c.newsUrl, d.newsUrl);
    EXPECT_EQ(c.rankingUrl, d.rankingUrl);
    EXPECT_EQ(c.newsContentSelector, d.newsContentSelector);
    EXPECT_EQ(c.patcherUrl, d.patcherUrl);
    EXPECT_EQ(c.assetsHost, d.assetsHost);
    EXPECT_EQ(c.assetsFolder, d.assetsFolder);
    EXPECT_EQ(c.gameExe, d.gameExe);
    EXPECT_EQ(c.startupSalt, d.startupSalt);
    EXPECT_EQ(c.gameConfigFile, d.gameConfigFile);
    EXPECT_EQ(c.useNewConfigFormat, d.useNewConfigFormat);
    EXPECT_EQ(c.register_, d.register_);
    EXPECT_EQ(c.discord, d.discord);
    EXPECT_EQ(c.youtube, d.youtube);
    EXPECT_EQ(c.facebook, d.facebook);
    EXPECT_EQ(c.roadmap, d.roadmap);
    EXPECT_EQ(c.gallery, d.gallery);
    EXPECT_EQ(c.wiki, d.wiki);
    EXPECT_EQ(c.faq, d.faq);
    EXPECT_EQ(c.guildId, d.guildId);
    EXPECT_EQ(c.allowedExecutables, d.allowedExecutables);
}

bool StartsWith(const std::wstring& s, const std::wstring& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
bool EndsWith(const std::wstring& s, const std::wstring& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// --- Built-in defaults --------------------------------------------------------

TEST(ConfigDefaults, BuiltInValues) {
    const LauncherConfig d;
    EXPECT_EQ(d.launcherVersion, L"v1.0.0");
    EXPECT_TRUE(StartsWith(d.serverUrl, L"https://") && EndsWith(d.serverUrl, L"/Patch/")) << d.serverUrl;
    EXPECT_EQ(d.serverUrl, kDefaultServer);
    EXPECT_EQ(d.patchVersion, 29);
    ASSERT_EQ(d.mirrors.size(), 2u);
    EXPECT_TRUE(StartsWith(d.mirrors[0], L"https://") && EndsWith(d.mirrors[0], L"/patch/")) << d.mirrors[0];
    EXPECT_NE(d.mirrors[0], d.serverUrl);
    EXPECT_EQ(d.mirrors[1], d.serverUrl);
    EXPECT_EQ(d.listFile, L"list.txt");
    EXPECT_EQ(d.maintFile, L"MaintanenceCheck.txt");
    EXPECT_EQ(d.newLauncher, L"newLauncher.exe");
    EXPECT_EQ(d.updaterExe, L"updater.exe");
    EXPECT_EQ(d.connections, 6);
    EXPECT_EQ(d.maxKiBps, 0);
    EXPECT_EQ(d.appDataFolderName, L"Quorvane");
    EXPECT_TRUE(StartsWith(d.newsUrl, L"https://") && EndsWith(d.newsUrl, L"/news.php"));
    EXPECT_TRUE(StartsWith(d.rankingUrl, L"https://") && EndsWith(d.rankingUrl, L"/rankings.php"));
    EXPECT_EQ(d.newsContentSelector, L".content-page");
    EXPECT_TRUE(StartsWith(d.patcherUrl, L"https://") && EndsWith(d.patcherUrl, L"/patcher/index.html"));
    EXPECT_EQ(d.assetsHost, L"client-assets");
    EXPECT_EQ(d.assetsFolder, L"Config\\Assets");
    EXPECT_EQ(d.gameExe, L"quorvane.exe");
    EXPECT_EQ(d.startupSalt, L"lumaris");
    EXPECT_EQ(d.gameConfigFile, L"Config\\Settings.ini");
    EXPECT_FALSE(d.useNewConfigFormat);
    EXPECT_TRUE(StartsWith(d.register_, L"https://") && EndsWith(d.register_, L"/register.php"));
    EXPECT_TRUE(StartsWith(d.discord, L"https://"));
    EXPECT_TRUE(StartsWith(d.youtube, L"https://"));
    EXPECT_TRUE(StartsWith(d.facebook, L"https://"));
    EXPECT_TRUE(StartsWith(d.roadmap, L"https://") && EndsWith(d.roadmap, L"/roadmap.php"));
    EXPECT_TRUE(StartsWith(d.gallery, L"https://") && EndsWith(d.gallery, L"/gallery.php"));
    EXPECT_TRUE(StartsWith(d.wiki, L"https://") && EndsWith(d.wiki, L"/wiki.php"));
    EXPECT_TRUE(StartsWith(d.faq, L"https://") && EndsWith(d.faq, L"/faqs.php"));
    EXPECT_EQ(d.guildId.size(), 19u);
    EXPECT_EQ(d.guildId.find_first_not_of(L"0123456789"), std::wstring::npos);
    EXPECT_EQ(d.allowedExecutables, (Strings{L"quorvane.exe", L"updater.exe", L"explorer.exe"}));
}

// --- No file ------------------------------------------------------------------------

TEST_F(Config, NoFileGivesDefaultsAndOneLogLine) {
    ExpectDefaults(Load());
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Config: no Veltrune.ini override, using built-in defaults"}));
}

TEST_F(Config, DirectoryNamedLikeTheFileGivesDefaults) {
    dir_.MakeDir(L"Veltrune.ini");
    dir_.Write(L"Veltrune.ini\\x", "[patch]\r\nlistFile=bad.txt\r\n");
    ExpectDefaults(Load());
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Config: no Veltrune.ini override, using built-in defaults"}));
}

TEST_F(Config, MissingFolderGivesDefaults) {
    ExpectDefaults(LoadLauncherConfig(dir_.Join(L"absent")));
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Config: no Veltrune.ini override, using built-in defaults"}));
}

TEST_F(Config, EmptyFileAppliesNothingButSaysSo) {
    Ini("");
    ExpectDefaults(Load());
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Config: applying overrides from Veltrune.ini"}));
}

TEST_F(Config, TrailingBackslashOnTheFolder) {
    Ini("[patch]\r\nlistFile=other.txt\r\n");
    EXPECT_EQ(LoadLauncherConfig(dir_.path() + L"\\").listFile, L"other.txt");
}

// --- Every key ------------------------------------------------------------------------

TEST_F(Config, EveryKeyOverrides) {
    Ini("; comment\r\n"
        "[patch]\r\n"
        "launcherVersion=v9.9.9\r\n"
        "serverUrl=https://p.test/Patch/\r\n"
        "patchVersion=31\r\n"
        "mirrors=https://m1.test/,https://m2.test/\r\n"
        "listFile=files.txt\r\n"
        "maintFile=maint.txt\r\n"
        "newLauncher=nl.exe\r\n"
        "updaterExe=up.exe\r\n"
        "listKey=QUJD+/==\r\n"
        "appDataFolderName=Ignored\r\n"
        "[game]\r\n"
        "gameExe=client.exe\r\n"
        "startupSalt=salt\r\n"
        "newsUrl=https://n.test/news\r\n"
        "rankingUrl=https://n.test/rank\r\n"
        "newsContentSelector=#main\r\n"
        "gameConfigFile=Cfg\\game.ini\r\n"
        "useNewConfigFormat=true\r\n"
        "[ui]\r\n"
        "patcherUrl=https://ui.test/index.html\r\n"
        "assetsHost=assets.test\r\n"
        "assetsFolder=Art\r\n"
        "[links]\r\n"
        "register=r\r\n"
        "discord=d\r\n"
        "youtube=y\r\n"
        "facebook=f\r\n"
        "roadmap=rm\r\n"
        "gallery=g\r\n"
        "wiki=w\r\n"
        "faq=q\r\n"
        "[discord]\r\n"
        "guildId=42\r\n"
        "allowedExecutables=evil.exe\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.launcherVersion, L"v9.9.9");
    EXPECT_EQ(c.serverUrl, L"https://p.test/Patch/");
    EXPECT_EQ(c.patchVersion, 31);
    EXPECT_EQ(c.mirrors, (Strings{L"https://m1.test/", L"https://m2.test/"}));
    EXPECT_EQ(c.listFile, L"files.txt");
    EXPECT_EQ(c.maintFile, L"maint.txt");
    EXPECT_EQ(c.newLauncher, L"nl.exe");
    EXPECT_EQ(c.updaterExe, L"up.exe");
    EXPECT_EQ(c.listKey, L"QUJD+/==");
    EXPECT_EQ(c.appDataFolderName, L"Quorvane");  // not configurable
    EXPECT_EQ(c.gameExe, L"client.exe");
    EXPECT_EQ(c.startupSalt, L"salt");
    EXPECT_EQ(c.newsUrl, L"https://n.test/news");
    EXPECT_EQ(c.rankingUrl, L"https://n.test/rank");
    EXPECT_EQ(c.newsContentSelector, L"#main");
    EXPECT_EQ(c.gameConfigFile, L"Cfg\\game.ini");
    EXPECT_TRUE(c.useNewConfigFormat);
    EXPECT_EQ(c.patcherUrl, L"https://ui.test/index.html");
    EXPECT_EQ(c.assetsHost, L"assets.test");
    EXPECT_EQ(c.assetsFolder, L"Art");
    EXPECT_EQ(c.register_, L"r");
    EXPECT_EQ(c.discord, L"d");
    EXPECT_EQ(c.youtube, L"y");
    EXPECT_EQ(c.facebook, L"f");
    EXPECT_EQ(c.roadmap, L"rm");
    EXPECT_EQ(c.gallery, L"g");
    EXPECT_EQ(c.wiki, L"w");
    EXPECT_EQ(c.faq, L"q");
    EXPECT_EQ(c.guildId, L"42");
    EXPECT_EQ(c.allowedExecutables, LauncherConfig().allowedExecutables);  // not configurable
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Config: applying overrides from Veltrune.ini"}));
}

TEST_F(Config, OnlyTheGivenKeysChange) {
    Ini("[links]\r\nwiki=https://wiki.test/\r\n");
    LauncherConfig c = Load();
    EXPECT_EQ(c.wiki, L"https://wiki.test/");
    c.wiki = LauncherConfig().wiki;
    ExpectDefaults(c);
}

// --- Text key rule ------------------------------------------------------------------------

TEST_F(Config, EmptyValueClearsTheField) {
    Ini("[game]\r\nnewsContentSelector=\r\n[ui]\r\nassetsHost=\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.newsContentSelector, L"");
    EXPECT_EQ(c.assetsHost, L"");
    EXPECT_EQ(c.gameExe, L"quorvane.exe");  // absent keys keep their defaults
}

TEST_F(Config, ValueOfTheSentinelCharacterCountsAsAbsent) {
    // A consequence of the U+0001 default: a value that is exactly that
    // character cannot be told from a missing key.
    Ini("[patch]\r\nlistFile=\x01\r\nmaintFile=\x01\x01\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.listFile, L"list.txt");
    EXPECT_EQ(c.maintFile, L"\x01\x01");
}

TEST_F(Config, KeysAreCaseInsensitive) {
    Ini("[game]\r\nGAMEEXE=Upper.exe\r\nstartupsalt=lower\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.gameExe, L"Upper.exe");
    EXPECT_EQ(c.startupSalt, L"lower");
}

TEST_F(Config, KeyInTheWrongSectionHasNoEffect) {
    Ini("[patch]\r\ngameExe=wrong.exe\r\nguildId=1\r\n[game]\r\nlistFile=wrong.txt\r\n[ui]\r\nnewsUrl=x\r\n"
        "[other]\r\nserverUrl=https://nowhere/\r\n");
    ExpectDefaults(Load());
}

TEST_F(Config, ValuesAreNotTrimmedOrValidated) {
    // The profile function itself drops blanks around a value and one pair
    // of enclosing quotes; nothing more is done.
    Ini("[game]\r\nnewsUrl=  not a url  \r\nstartupSalt=\"  spaced  \"\r\nrankingUrl=a = b ; c\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.newsUrl, L"not a url");
    EXPECT_EQ(c.startupSalt, L"  spaced  ");
    EXPECT_EQ(c.rankingUrl, L"a = b ; c");
}

TEST_F(Config, LongValuesAreCutTo1023Characters) {
    const std::string longValue(3000, 'v');
    Ini("[game]\r\nnewsContentSelector=" + longValue + "\r\n[links]\r\nfaq=" + std::string(1023, 'f') + "\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.newsContentSelector, std::wstring(1023, L'v'));
    EXPECT_EQ(c.faq, std::wstring(1023, L'f'));
}

TEST_F(Config, NonAsciiValuesFromAUnicodeFile) {
    IniUtf16(L"[game]\r\nnewsContentSelector=.inhalt-\u00e4\u4e2d\r\n[ui]\r\nassetsFolder=Daten\\\u00c4rger\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.newsContentSelector, L".inhalt-\u00e4\u4e2d");
    EXPECT_EQ(c.assetsFolder, L"Daten\\\u00c4rger");
}

// --- Mirror rule -----------------------------------------------------------------------------

TEST_F(Config, MirrorsListReplacesTheDefaults) {
    Ini("[patch]\r\nmirrors=a , b|a\r\n");
    EXPECT_EQ(Load().mirrors, (Strings{L"a", L"b", L"a"}));
}

TEST_F(Config, MirrorsWinOverServerUrl) {
    Ini("[patch]\r\nserverUrl=https://s.test/\r\nmirrors=https://m.test/\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.serverUrl, L"https://s.test/");
    EXPECT_EQ(c.mirrors, (Strings{L"https://m.test/"}));
}

TEST_F(Config, MirrorsOfOnlySeparatorsGiveAnEmptyList) {
    Ini("[patch]\r\nmirrors=,|,\r\nserverUrl=https://s.test/\r\n");
    EXPECT_TRUE(Load().mirrors.empty());
}

TEST_F(Config, MirrorsOfSeparatorsAndBlanksGiveAnEmptyList) {
    Ini("[patch]\r\nmirrors=\" \t, |\t \"\r\n");
    EXPECT_TRUE(Load().mirrors.empty());
}

TEST_F(Config, EmptyMirrorsWithServerUrlGiveThatOneServer) {
    Ini("[patch]\r\nmirrors=\r\nserverUrl=https://s.test/Patch/\r\n");
    EXPECT_EQ(Load().mirrors, (Strings{L"https://s.test/Patch/"}));
}

TEST_F(Config, EmptyMirrorsWithoutServerUrlKeepTheDefaults) {
    Ini("[patch]\r\nmirrors=\r\n");
    EXPECT_EQ(Load().mirrors, LauncherConfig().mirrors);
}

TEST_F(Config, BlankMirrorsCountAsEmpty) {
    Ini("[patch]\r\nmirrors=\" \t \"\r\nserverUrl=https://s.test/\r\n");
    EXPECT_EQ(Load().mirrors, (Strings{L"https://s.test/"}));
}

TEST_F(Config, AbsentMirrorsWithServerUrlGiveThatOneServer) {
    Ini("[patch]\r\nserverUrl=https://only.test/\r\n");
    EXPECT_EQ(Load().mirrors, (Strings{L"https://only.test/"}));
}

TEST_F(Config, AbsentMirrorsWithEmptyServerUrlGiveOneEmptyEntry) {
    Ini("[patch]\r\nserverUrl=\r\n");
    const LauncherConfig c = Load();
    EXPECT_EQ(c.serverUrl, L"");
    EXPECT_EQ(c.mirrors, (Strings{L""}));
}

TEST_F(Config, AbsentMirrorsAndServerUrlKeepTheDefaults) {
    Ini("[patch]\r\nlistFile=x.txt\r\n");
    EXPECT_EQ(Load().mirrors, LauncherConfig().mirrors);
}

TEST_F(Config, MirrorsInTheWrongSectionAreIgnored) {
    Ini("[game]\r\nmirrors=https://wrong.test/\r\n[patch]\r\nserverUrl=https://s.test/\r\n");
    EXPECT_EQ(Load().mirrors, (Strings{L"https://s.test/"}));
}

// --- Integer rule ----------------------------------------------------------------------------

TEST_F(Config, PatchVersionNumbers) {
    Ini("[patch]\r\npatchVersion=30\r\n");
    EXPECT_EQ(Load().patchVersion, 30);
}

TEST_F(Config, PatchVersionOfLettersGivesZero) {
    Ini("[patch]\r\npatchVersion=abc\r\n");
    EXPECT_EQ(Load().patchVersion, 0);
}

TEST_F(Config, PatchVersionDigitsThenLetters) {
    Ini("[patch]\r\npatchVersion=12abc\r\n");
    EXPECT_EQ(Load().patchVersion, 12);
}

TEST_F(Config, AbsentPatchVersionKeeps29) {
    Ini("[patch]\r\nlistFile=x.txt\r\n");
    EXPECT_EQ(Load().patchVersion, 29);
}

TEST_F(Config, NegativeAndEmptyPatchVersionAreWhatThePlatformReturns) {
    // Stored as GetPrivateProfileIntW returns it, whatever that is.
    Ini("[patch]\r\npatchVersion=-5\r\n");
    const UINT platform = GetPrivateProfileIntW(L"patch", L"patchVersion", 29, dir_.Join(L"Veltrune.ini").c_str());
    EXPECT_EQ(Load().patchVersion, static_cast<int32_t>(platform));
    EXPECT_EQ(static_cast<int32_t>(platform), -5) << "this platform's GetPrivateProfileIntW";

    test::TempDir other;
    other.Write(L"Veltrune.ini", "[patch]\r\npatchVersion=\r\n");
    const UINT empty = GetPrivateProfileIntW(L"patch", L"patchVersion", 29, other.Join(L"Veltrune.ini").c_str());
    EXPECT_EQ(LoadLauncherConfig(other.path()).patchVersion, static_cast<int32_t>(empty));
}

// --- Download connections and bandwidth cap -----------------------------------

TEST_F(Config, ConnectionsAndCapAreClampedToTheirRangesWithALogLine) {
    const struct {
        const char* line;
        int32_t connections;
        int32_t maxKiBps;
    } cases[] = {
        {"listFile=x.txt", 6, 0},  // absent: the defaults
        {"connections=1\r\nmaxKiBps=1024", 1, 1024},
        {"connections=16\r\nmaxKiBps=0", 16, 0},
        {"connections=0\r\nmaxKiBps=-5", 1, 0},
        {"connections=17", 16, 0},
        {"connections=abc", 1, 0},  // the platform reads letters as 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Ini(std::string("[patch]\r\n") + c.line + "\r\n");
        const LauncherConfig loaded = Load();
        EXPECT_EQ(loaded.connections, c.connections);
        EXPECT_EQ(loaded.maxKiBps, c.maxKiBps);
    }
    Ini("[patch]\r\nconnections=40\r\n");
    static_cast<void>(Load());
    const std::vector<std::string> log = LogMessages();
    EXPECT_EQ(log.back(), "Config: [patch] connections=40 is out of range 1..16; using 16");
}

// --- Boolean rule -----------------------------------------------------------------------------

bool NewFormatWith(const test::TempDir& dir, const std::string& line) {
    dir.Write(L"Veltrune.ini", "[game]\r\n" + line + "\r\n");
    return LoadLauncherConfig(dir.path()).useNewConfigFormat;
}

TEST_F(Config, UseNewConfigFormatValues) {
    EXPECT_TRUE(NewFormatWith(dir_, "useNewConfigFormat=true"));
    EXPECT_TRUE(NewFormatWith(dir_, "useNewConfigFormat=True"));
    EXPECT_TRUE(NewFormatWith(dir_, "useNewConfigFormat=1"));
    EXPECT_TRUE(NewFormatWith(dir_, "usenewconfigformat=1"));
    EXPECT_FALSE(NewFormatWith(dir_, "useNewConfigFormat=TRUE"));
    EXPECT_FALSE(NewFormatWith(dir_, "useNewConfigFormat=yes"));
    EXPECT_FALSE(NewFormatWith(dir_, "useNewConfigFormat=0"));
    EXPECT_FALSE(NewFormatWith(dir_, "useNewConfigFormat=false"));
    EXPECT_FALSE(NewFormatWith(dir_, "useNewConfigFormat="));
    EXPECT_FALSE(NewFormatWith(dir_, "useNewConfigFormat=10"));
    EXPECT_FALSE(NewFormatWith(dir_, "other=1"));
}

}  // namespace
}  // namespace vr

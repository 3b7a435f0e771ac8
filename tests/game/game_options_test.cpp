// What the player chooses: the game's settings file, display modes, backgrounds, the launcher's preferences.
#include "game/game_options.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "game/backgrounds.h"
#include "game/preferences.h"
#include "game/resolutions.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr bool kLineFormat = false;
constexpr bool kIniFormat = true;

std::string Show(const GameOptions& o) {
    return std::to_string(o.detail) + " " + std::to_string(o.distant) + " " + std::to_string(o.view) + " " +
           std::to_string(o.shadow) + (o.fullscreen ? " full " : " window ") + std::to_string(o.resW) + "x" +
           std::to_string(o.resH);
}

TEST(LineFormatTest, LoadMatchesKeysIgnoringCaseAndFollowsStreamExtraction) {
    const std::pair<const char*, const char*> rows[] = {
        {nullptr, "2 2 2 2 window 1024x768"},  // no file
        {"Detail 3\nresolution 1280 720\n", "3 2 2 2 window 1280x720"},
        // The last line wins; blanks and CR LF around; no final line end.
        {"; options\r\n  DISTANT\t7 extra\r\nshadow 1\r\nSHADOW 4\r\nfullscreen 5\r\nview -1\r\nunknown 9\r\n\r\n"
         "RESOLUTION 1920 1080",
         "2 7 -1 4 full 1920x1080"},
        // Not a number: 0; overflow: the limit; no value: as it was.
        {"detail abc\nview\ndistant 12abc\nshadow 99999999999\nresolution 1280\n", "0 12 2 2147483647 window 1280x768"},
    };
    for (const auto& [text, expected] : rows) {
        test::TempDir dir;
        if (text) dir.Write(L"Settings.ini", text);
        EXPECT_EQ(Show(LoadGameOptions(dir.Join(L"Settings.ini"), kLineFormat)), expected) << (text ? text : "");
    }
}

TEST(LineFormatTest, SaveRewritesOnlyKnownLinesWithCrLfAndIsStable) {
    test::TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    dir.Write(L"Settings.ini",
              "# Game options\nDetail 3 ; the detail level\r\n  view 4 5 6\nname caf\xE9 \x80 \x81\x8D\n\nVIEW 9\n"
              "fullscreen 0\r\nresolution 800 600 60\ntrailing   \r\ndistant 2");
    const GameOptions chosen{1, -5, 6, 3, true, 1600, 900};
    ASSERT_TRUE(SaveGameOptions(path, chosen, kLineFormat));
    // No shadow line existed, so none is added; other bytes stay as they were.
    const std::string once = dir.Read(L"Settings.ini");
    EXPECT_EQ(once,
              "# Game options\r\ndetail 1\r\nview 6\r\nname caf\xE9 \x80 \x81\x8D\r\n\r\nview 6\r\n"
              "fullscreen 1\r\nresolution 1600 900\r\ntrailing   \r\ndistant -5\r\n");
    ASSERT_TRUE(SaveGameOptions(path, chosen, kLineFormat));
    EXPECT_EQ(dir.Read(L"Settings.ini"), once);
}

TEST(LineFormatTest, SaveThatCannotReadAllOrReplaceLeavesTheFileAsItWas) {
    test::TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    test::LogCapture log;
    EXPECT_FALSE(SaveGameOptions(path, GameOptions{}, kLineFormat));
    EXPECT_FALSE(dir.Exists(L"Settings.ini"));

    // A reader that denies writers: the new copy cannot take the file's place.
    std::string text = "detail 4\r\n";
    while (text.size() < 9000) text += "comment line that the game keeps\r\n";  // two read blocks
    dir.Write(L"Settings.ini", text);
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(SaveGameOptions(path, GameOptions{5}, kLineFormat));
    CloseHandle(reader);
    EXPECT_FALSE(dir.Exists(L"Settings.ini.new"));

    // Wine fails no read on a lock: the seam fails the second block, as a bad sector would.
    int calls = 0;
    const ReadBlockFn failingSecondRead = [&calls](void* file, char* buffer, uint32_t size, uint32_t& got) {
        DWORD n = 0;
        const bool ok = ++calls != 2 && ReadFile(file, buffer, size, &n, nullptr);
        if (calls == 2) SetLastError(ERROR_READ_FAULT);
        got = n;
        return ok;
    };
    EXPECT_FALSE(SaveGameOptions(path, GameOptions{1}, kLineFormat, failingSecondRead));
    EXPECT_EQ(dir.Read(L"Settings.ini"), text);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"GameConfig: game config file not found on save",
                                                     "GameConfig: could not read " + WideToUtf8(path) +
                                                         " to the end (err 30); settings not saved"}));
    calls = 0;  // loading keeps what it could read
    std::string got;
    bool complete = true;
    EXPECT_TRUE(ReadWholeFile(path, got, &complete, failingSecondRead));
    EXPECT_FALSE(complete);
    EXPECT_EQ(got, text.substr(0, 8192));
}

TEST(IniFormatTest, SaveWritesTheOptionSectionAndKeepsOtherEntries) {
    test::TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    EXPECT_EQ(Show(LoadGameOptions(path, kIniFormat)), "2 2 2 2 window 1024x768");

    dir.Write(L"Settings.ini",
              "[sound]\r\nvolume=80\r\n[Option]\r\nDetail=4\r\nresolution=1600 900\r\nfullscreen=7\r\n");
    EXPECT_EQ(Show(LoadGameOptions(path, kIniFormat)), "4 2 2 2 full 1600x900");
    EXPECT_TRUE(SaveGameOptions(path, GameOptions{1, 2, -3, 4, false, -800, 600}, kIniFormat));
    EXPECT_EQ(Show(LoadGameOptions(path, kIniFormat)), "1 2 -3 4 window -800x600");
    EXPECT_EQ(GetPrivateProfileIntW(L"sound", L"volume", 0, path.c_str()), 80u);
}

TEST(ResolutionsTest, ListsDistinctModesOfAtLeast800x600InDriverOrder) {
    const std::vector<Resolution> modes = {{1920, 1080}, {640, 480},  {800, 600},  {800, 600},
                                           {1280, 599},  {799, 1024}, {1024, 768}, {800, 600}};
    const auto source = [&](uint32_t index, int32_t& width, int32_t& height) {
        if (index >= modes.size()) return false;
        std::tie(width, height) = modes[index];
        return true;
    };
    EXPECT_EQ(ListResolutions(source), (std::vector<Resolution>{{1920, 1080}, {800, 600}, {1024, 768}}));

    // The modes Wine reports for the Xvfb display include the current one.
    const std::vector<Resolution> real = ListResolutions();
    DEVMODEW current{};
    current.dmSize = sizeof current;
    ASSERT_TRUE(EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &current));
    const Resolution now{int32_t(current.dmPelsWidth), int32_t(current.dmPelsHeight)};
    EXPECT_NE(std::find(real.begin(), real.end(), now), real.end());
}

TEST(BackgroundsTest, OnlyVideoFilesWithAPictureFileAreListed) {
    test::TempDir dir;
    for (const wchar_t* name :
         {L"Background.mp4", L"Background.png", L"Background_Nuit\u00e9.mp4", L"Background_Nuit\u00e9.png",
          L"Background2.mp4", L"Background9.png", L"Background4.mp4", L"Background5.png"}) {
        dir.Write(name, "x");
    }
    dir.MakeDir(L"Background4.png");  // folders are neither video nor picture
    dir.MakeDir(L"Background5.mp4");
    std::vector<std::string> names = ListBackgrounds(dir.path() + L"\\");
    std::sort(names.begin(), names.end());  // search order is the file system's
    EXPECT_EQ(names, (std::vector<std::string>{"Background", "Background_Nuit\xC3\xA9"}));
    EXPECT_TRUE(ListBackgrounds(dir.Join(L"missing")).empty());
}

TEST(PreferencesTest, SitBesideTheExecutableAndComeBackAsStored) {
    test::TempDir dir;
    LauncherPreferences prefs = LoadPreferences(dir.path());
    EXPECT_EQ(prefs.clientCount, 1);
    EXPECT_TRUE(prefs.animatedBackground);
    EXPECT_FALSE(dir.Exists(L"PatcherSettings.ini"));                                  // reading creates nothing
    for (const auto& [count, animated] : {std::pair{3, false}, std::pair{0, true}}) {  // no range: 0 stays 0
        SaveClientCount(dir.path(), count);
        SaveAnimatedBackground(dir.path(), animated);
        prefs = LoadPreferences(dir.path());
        EXPECT_EQ(prefs.clientCount, count);
        EXPECT_EQ(prefs.animatedBackground, animated);
    }
}

}  // namespace
}  // namespace vr

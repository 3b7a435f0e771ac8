// What the page offers the player: display modes, backgrounds and the stored
// launcher preferences.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>

#include "game/backgrounds.h"
#include "game/preferences.h"
#include "game/resolutions.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

TEST(ResolutionsTest, ListsDistinctModesOfAtLeast800x600InDriverOrder) {
    const std::vector<Resolution> modes = {{1920, 1080}, {640, 480},  {800, 600},  {800, 600},
                                           {1280, 599},  {799, 1024}, {1024, 768}, {800, 600}};
    uint32_t calls = 0;
    const auto source = [&](uint32_t index, int32_t& width, int32_t& height) {
        ++calls;
        if (index >= modes.size()) return false;
        std::tie(width, height) = modes[index];
        return true;
    };
    EXPECT_EQ(ListResolutions(source), (std::vector<Resolution>{{1920, 1080}, {800, 600}, {1024, 768}}));
    EXPECT_EQ(calls, modes.size() + 1);  // stops at the first failure

    // The modes Wine reports for the Xvfb display include the current one.
    const std::vector<Resolution> real = ListResolutions();
    DEVMODEW current{};
    current.dmSize = sizeof current;
    ASSERT_TRUE(EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &current));
    const Resolution now{int32_t(current.dmPelsWidth), int32_t(current.dmPelsHeight)};
    EXPECT_NE(std::find(real.begin(), real.end(), now), real.end());
    EXPECT_EQ(std::set<Resolution>(real.begin(), real.end()).size(), real.size());
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
    EXPECT_TRUE(dir.Exists(L"PatcherSettings.ini"));
}

}  // namespace
}  // namespace vr

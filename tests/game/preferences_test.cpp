#include "game/preferences.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vr {
namespace {

TEST(PreferencesTest, SitBesideTheExecutableAndComeBackAsStored) {
    EXPECT_EQ(PreferencesPath(L"C:\\Games"), L"C:\\Games\\PatcherSettings.ini");
    EXPECT_EQ(PreferencesPath(L"C:\\Games\\"), L"C:\\Games\\PatcherSettings.ini");

    test::TempDir dir;
    LauncherPreferences prefs = LoadPreferences(dir.path());
    EXPECT_EQ(prefs.clientCount, 1);
    EXPECT_TRUE(prefs.animatedBackground);
    EXPECT_FALSE(dir.Exists(L"PatcherSettings.ini"));  // reading creates nothing

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

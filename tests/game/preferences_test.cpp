#include "game/preferences.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "support/temp_dir.h"

namespace vr {
namespace {

using test::TempDir;

std::wstring StoredText(const std::wstring& exeDir, const wchar_t* key) {
    wchar_t buffer[64];
    const DWORD n = GetPrivateProfileStringW(L"option", key, L"<absent>", buffer, 64, PreferencesPath(exeDir).c_str());
    return std::wstring(buffer, n);
}

TEST(PreferencesTest, PathSitsBesideTheExecutable) {
    EXPECT_EQ(PreferencesPath(L"C:\\Games"), L"C:\\Games\\PatcherSettings.ini");
    EXPECT_EQ(PreferencesPath(L"C:\\Games\\"), L"C:\\Games\\PatcherSettings.ini");
    EXPECT_EQ(PreferencesPath(L""), L"PatcherSettings.ini");
}

TEST(PreferencesTest, MissingFileGivesOneClientAndAnimatedBackground) {
    TempDir dir;
    const LauncherPreferences prefs = LoadPreferences(dir.path());
    EXPECT_EQ(prefs.clientCount, 1);
    EXPECT_TRUE(prefs.animatedBackground);
    EXPECT_FALSE(dir.Exists(L"PatcherSettings.ini"));  // reading creates nothing
}

TEST(PreferencesTest, ValuesComeBackAsStored) {
    TempDir dir;
    SaveClientCount(dir.path(), 3);
    SaveAnimatedBackground(dir.path(), false);
    EXPECT_EQ(StoredText(dir.path(), L"ClientCount"), L"3");
    EXPECT_EQ(StoredText(dir.path(), L"AnimatedBackground"), L"0");
    LauncherPreferences prefs = LoadPreferences(dir.path());
    EXPECT_EQ(prefs.clientCount, 3);
    EXPECT_FALSE(prefs.animatedBackground);

    // No range on reading: a stored 0 stays 0.
    SaveClientCount(dir.path(), 0);
    SaveAnimatedBackground(dir.path(), true);
    prefs = LoadPreferences(dir.path());
    EXPECT_EQ(prefs.clientCount, 0);
    EXPECT_TRUE(prefs.animatedBackground);
    EXPECT_EQ(StoredText(dir.path(), L"AnimatedBackground"), L"1");
}

TEST(PreferencesTest, HandEditedBackgroundValuesOtherThanOneOrTrueReadAsOff) {
    TempDir dir;
    const std::wstring path = PreferencesPath(dir.path());
    auto readWith = [&](const wchar_t* value) {
        WritePrivateProfileStringW(L"option", L"AnimatedBackground", value, path.c_str());
        return LoadPreferences(dir.path()).animatedBackground;
    };
    EXPECT_TRUE(readWith(L"True"));
    EXPECT_TRUE(readWith(L"true"));
    EXPECT_FALSE(readWith(L"yes"));
    EXPECT_FALSE(readWith(L"TRUE"));
    EXPECT_FALSE(readWith(L"2"));
}

}  // namespace
}  // namespace vr

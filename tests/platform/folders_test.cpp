// Where the launcher finds itself and the user's data folders, and how paths
// are joined.
#include "platform/folders.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/launcher_config.h"
#include "platform/paths.h"

namespace vr {
namespace {

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(ExeFolder, PathAndFolderNameThisExecutable) {
    const std::wstring path = GetExePath();
    const std::wstring dir = GetExeDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), L'\\');
    EXPECT_TRUE(IsFolder(dir));
    EXPECT_EQ(path, dir + L"\\platform_tests.exe");
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(KnownFolders, LocalAndRoamingAreDistinctExistingFolders) {
    const std::wstring local = LocalAppDataFolder();
    const std::wstring roaming = RoamingAppDataFolder();
    ASSERT_FALSE(local.empty());
    ASSERT_FALSE(roaming.empty());
    EXPECT_NE(local, roaming);
    EXPECT_NE(local.back(), L'\\');
    EXPECT_NE(roaming.back(), L'\\');
    EXPECT_TRUE(IsFolder(local));
    EXPECT_TRUE(IsFolder(roaming));
}

TEST(JoinPathTest, ExactlyOneBackslash) {
    EXPECT_EQ(JoinPath(L"C:\\Games\\Veltrune", L"Veltrune.ini"), L"C:\\Games\\Veltrune\\Veltrune.ini");
    EXPECT_EQ(JoinPath(L"C:\\Games\\Veltrune\\", L"Veltrune.ini"), L"C:\\Games\\Veltrune\\Veltrune.ini");
    EXPECT_EQ(JoinPath(L"C:\\", L"x"), L"C:\\x");
    EXPECT_EQ(JoinPath(L"", L"Veltrune.ini"), L"Veltrune.ini");
    EXPECT_EQ(JoinPath(L"dir", L""), L"dir\\");
}

TEST(GameSettingsPathTest, JoinsTheFolderAndTheConfiguredFile) {
    LauncherConfig c;
    EXPECT_EQ(GameSettingsPath(c, L"C:\\Games\\Q"), L"C:\\Games\\Q\\Config\\Settings.ini");
    EXPECT_EQ(GameSettingsPath(c, L"C:\\Games\\Q\\"), L"C:\\Games\\Q\\Config\\Settings.ini");
    EXPECT_EQ(GameSettingsPath(c, L""), L"Config\\Settings.ini");
    c.gameConfigFile = L"game.ini";
    EXPECT_EQ(GameSettingsPath(c, L"D:\\q"), L"D:\\q\\game.ini");
}

}  // namespace
}  // namespace vr

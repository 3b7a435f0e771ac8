// Where the launcher finds itself and the user's data folders, and how paths
// are joined.
#include "platform/folders.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/launcher_config.h"
#include "platform/paths.h"

namespace vr {
namespace {

bool EndsWith(const std::wstring& s, const std::wstring& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

TEST(Folders, ThisExecutableAndTheAppDataFolders) {
    EXPECT_EQ(GetExePath(), GetExeDirectory() + L"\\platform_tests.exe");
    EXPECT_TRUE(EndsWith(LocalAppDataFolder(), L"\\Local")) << LocalAppDataFolder();
    EXPECT_TRUE(EndsWith(RoamingAppDataFolder(), L"\\Roaming")) << RoamingAppDataFolder();
}

TEST(JoinPathTest, ExactlyOneBackslash) {
    EXPECT_EQ(JoinPath(L"C:\\Games\\Veltrune", L"Veltrune.ini"), L"C:\\Games\\Veltrune\\Veltrune.ini");
    EXPECT_EQ(JoinPath(L"C:\\Games\\Veltrune\\", L"Veltrune.ini"), L"C:\\Games\\Veltrune\\Veltrune.ini");
    EXPECT_EQ(JoinPath(L"", L"Veltrune.ini"), L"Veltrune.ini");
    LauncherConfig c;
    c.gameConfigFile = L"Config\\game.ini";
    EXPECT_EQ(GameSettingsPath(c, L"D:\\q\\"), L"D:\\q\\Config\\game.ini");
}

}  // namespace
}  // namespace vr

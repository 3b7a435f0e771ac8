// Where the launcher finds itself, and how paths are joined.
#include "platform/folders.h"

#include <gtest/gtest.h>

#include "platform/launcher_config.h"
#include "platform/paths.h"

namespace vr {
namespace {

TEST(JoinPathTest, ExactlyOneBackslash) {
    EXPECT_EQ(GetExePath(), GetExeDirectory() + L"\\platform_tests.exe");
    EXPECT_EQ(JoinPath(L"C:\\Games\\Veltrune", L"Veltrune.ini"), L"C:\\Games\\Veltrune\\Veltrune.ini");
    EXPECT_EQ(JoinPath(L"C:\\Games\\Veltrune\\", L"Veltrune.ini"), L"C:\\Games\\Veltrune\\Veltrune.ini");
    EXPECT_EQ(JoinPath(L"", L"Veltrune.ini"), L"Veltrune.ini");
    LauncherConfig c;
    c.gameConfigFile = L"Config\\game.ini";
    EXPECT_EQ(GameSettingsPath(c, L"D:\\q\\"), L"D:\\q\\Config\\game.ini");
}

}  // namespace
}  // namespace vr

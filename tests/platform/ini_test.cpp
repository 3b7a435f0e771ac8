// The launcher's own path, joined paths, and the list and INI helpers over the real profile functions.
#include "platform/ini.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/folders.h"
#include "platform/launcher_config.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using Strings = std::vector<std::wstring>;

TEST(JoinPathTest, ExactlyOneBackslash) {
    EXPECT_EQ(GetExePath(), GetExeDirectory() + L"\\platform_tests.exe");
    EXPECT_EQ(JoinPath(L"C:\\Games\\Veltrune", L"Veltrune.ini"), L"C:\\Games\\Veltrune\\Veltrune.ini");
    EXPECT_EQ(JoinPath(L"C:\\Games\\Veltrune\\", L"Veltrune.ini"), L"C:\\Games\\Veltrune\\Veltrune.ini");
    EXPECT_EQ(JoinPath(L"", L"Veltrune.ini"), L"Veltrune.ini");
    LauncherConfig c;
    c.gameConfigFile = L"Config\\game.ini";
    EXPECT_EQ(GameSettingsPath(c, L"D:\\q\\"), L"D:\\q\\Config\\game.ini");
}

TEST(SplitListTest, Cases) {
    EXPECT_EQ(SplitList(L"|a | b,,a,"), (Strings{L"a", L"b", L"a"}));
    EXPECT_EQ(SplitList(L"\tone two\r\n;three"), (Strings{L"one two\r\n;three"}));
    EXPECT_EQ(SplitList(L",| ,"), Strings{});
}

// The texts that read as true are pinned by the preferences tests.
TEST(IniHelpers, AbsentValuesStayAndRefusedWritesSaySo) {
    test::TempDir dir;
    EXPECT_TRUE(ReadIniBool(dir.Join(L"none.ini"), L"s", L"a", true));
    EXPECT_FALSE(ReadIniBool(dir.Join(L"none.ini"), L"s", L"a", false));
    EXPECT_TRUE(WriteIniInt(dir.Join(L"x.ini"), L"s", L"count", 3));
    EXPECT_FALSE(WriteIniInt(dir.Join(L"no-such-folder\\x.ini"), L"s", L"count", 3));
}

}  // namespace
}  // namespace vr

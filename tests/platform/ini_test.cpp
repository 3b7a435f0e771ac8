// The shared list and INI helpers over the real profile functions.
#include "platform/ini.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vr {
namespace {

using Strings = std::vector<std::wstring>;

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

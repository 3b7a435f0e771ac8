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
    EXPECT_EQ(SplitList(L"https://a.test/p/, https://b.test/p/ | https://c.test/p/"),
              (Strings{L"https://a.test/p/", L"https://b.test/p/", L"https://c.test/p/"}));
    EXPECT_EQ(SplitList(L"|a | b,,a,"), (Strings{L"a", L"b", L"a"}));
    EXPECT_EQ(SplitList(L"\tone two\r\n;three"), (Strings{L"one two\r\n;three"}));
    EXPECT_EQ(SplitList(L",| ,"), Strings{});
}

TEST(IniHelpers, BoolsReadAndIntsWritten) {
    test::TempDir dir;
    const std::wstring path = dir.Join(L"PatcherSettings.ini");
    dir.Write(L"PatcherSettings.ini", "[s]\r\na=true\r\nb=True\r\nc=1\r\nd=TRUE\r\ne=yes\r\nf=0\r\ng=\r\nh=1.0\r\n");
    for (const wchar_t* key : {L"a", L"b", L"c"}) EXPECT_TRUE(ReadIniBool(path, L"s", key, false)) << key;
    for (const wchar_t* key : {L"d", L"e", L"f", L"g", L"h"}) EXPECT_FALSE(ReadIniBool(path, L"s", key, true)) << key;
    // Absent key or file: the current value stays.
    EXPECT_TRUE(ReadIniBool(path, L"s", L"absent", true) && ReadIniBool(dir.Join(L"none.ini"), L"s", L"a", true));
    EXPECT_FALSE(ReadIniBool(path, L"s", L"absent", false));

    EXPECT_TRUE(WriteIniInt(path, L"s", L"count", -2147483647 - 1));
    EXPECT_NE(dir.Read(L"PatcherSettings.ini").find("count=-2147483648"), std::string::npos);
    EXPECT_FALSE(WriteIniInt(dir.Join(L"no-such-folder\\x.ini"), L"s", L"count", 3)) << "a refused write says so";
}

}  // namespace
}  // namespace vr

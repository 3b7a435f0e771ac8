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
    const struct {
        const wchar_t* text;
        Strings items;
    } rows[] = {
        {L"https://a.test/p/, https://b.test/p/ | https://c.test/p/",
         {L"https://a.test/p/", L"https://b.test/p/", L"https://c.test/p/"}},
        {L"a | b,,c", {L"a", L"b", L"c"}},
        {L"a , b|a", {L"a", L"b", L"a"}},
        {L"|x|", {L"x"}},
        {L",| ,", {}},
        {L"", {}},
        {L"\tone two\r\n;three", {L"one two\r\n;three"}},
    };
    for (const auto& row : rows) EXPECT_EQ(SplitList(row.text), row.items) << row.text;
}

TEST(IniHelpers, BoolsReadAndIntsWritten) {
    test::TempDir dir;
    const std::wstring path = dir.Join(L"PatcherSettings.ini");
    dir.Write(L"PatcherSettings.ini", "[s]\r\na=true\r\nb=True\r\nc=1\r\nd=TRUE\r\ne=yes\r\nf=0\r\ng=\r\nh=1.0\r\n");
    for (const wchar_t* key : {L"a", L"b", L"c"}) EXPECT_TRUE(ReadIniBool(path, L"s", key, false)) << key;
    for (const wchar_t* key : {L"d", L"e", L"f", L"g", L"h"}) EXPECT_FALSE(ReadIniBool(path, L"s", key, true)) << key;
    // Absent key or file: the current value stays.
    EXPECT_TRUE(ReadIniBool(path, L"s", L"absent", true));
    EXPECT_FALSE(ReadIniBool(path, L"s", L"absent", false));
    EXPECT_TRUE(ReadIniBool(dir.Join(L"no-such.ini"), L"s", L"a", true));

    EXPECT_TRUE(WriteIniInt(path, L"s", L"a", 0));
    EXPECT_FALSE(ReadIniBool(path, L"s", L"a", true));
    EXPECT_TRUE(WriteIniInt(path, L"s", L"count", -2147483647 - 1));
    EXPECT_NE(dir.Read(L"PatcherSettings.ini").find("count=-2147483648"), std::string::npos);
    EXPECT_FALSE(WriteIniInt(dir.Join(L"no-such-folder\\x.ini"), L"s", L"count", 3)) << "a refused write says so";
}

}  // namespace
}  // namespace vr

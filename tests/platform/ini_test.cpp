// The shared INI and list helpers over the real profile functions.
#include "platform/ini.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vr {
namespace {

using Strings = std::vector<std::wstring>;

TEST(SplitListTest, Cases) {
    EXPECT_EQ(SplitList(L"a | b,,c"), (Strings{L"a", L"b", L"c"}));
    EXPECT_EQ(SplitList(L"a , b|a"), (Strings{L"a", L"b", L"a"}));
    EXPECT_EQ(SplitList(L""), Strings{});
    EXPECT_EQ(SplitList(L",|,"), Strings{});
    EXPECT_EQ(SplitList(L"   "), Strings{});
    EXPECT_EQ(SplitList(L"only"), (Strings{L"only"}));
    EXPECT_EQ(SplitList(L"|x|"), (Strings{L"x"}));
    EXPECT_EQ(SplitList(L"\tone two\r\n;three"), (Strings{L"one two\r\n;three"}));
    EXPECT_EQ(SplitList(L"\u00a0a\u00a0,b"), (Strings{L"\u00a0a\u00a0", L"b"}));
    EXPECT_EQ(SplitList(L"https://a.test/p/, https://b.test/p/ | https://c.test/p/"),
              (Strings{L"https://a.test/p/", L"https://b.test/p/", L"https://c.test/p/"}));
}

class IniHelpers : public ::testing::Test {
protected:
    std::wstring Path() const { return dir_.Join(L"PatcherSettings.ini"); }
    std::wstring RawValue(const wchar_t* key) const {
        wchar_t buffer[256];
        const DWORD n = GetPrivateProfileStringW(L"settings", key, L"<absent>", buffer, 256, Path().c_str());
        return std::wstring(buffer, n);
    }
    test::TempDir dir_;
};

TEST_F(IniHelpers, WriteIniIntWritesDecimalText) {
    EXPECT_TRUE(WriteIniInt(Path(), L"settings", L"zero", 0));
    WriteIniInt(Path(), L"settings", L"neg", -5);
    WriteIniInt(Path(), L"settings", L"max", 2147483647);
    WriteIniInt(Path(), L"settings", L"min", -2147483647 - 1);
    EXPECT_EQ(RawValue(L"zero"), L"0");
    EXPECT_EQ(RawValue(L"neg"), L"-5");
    EXPECT_EQ(RawValue(L"max"), L"2147483647");
    EXPECT_EQ(RawValue(L"min"), L"-2147483648");
    EXPECT_EQ(static_cast<int>(GetPrivateProfileIntW(L"settings", L"neg", 0, Path().c_str())), -5);
    // Rewriting a key replaces its value.
    WriteIniInt(Path(), L"settings", L"neg", 7);
    EXPECT_EQ(RawValue(L"neg"), L"7");
    const std::string file = dir_.Read(L"PatcherSettings.ini");
    EXPECT_NE(file.find("neg=7"), std::string::npos) << file;
    EXPECT_NE(file.find("min=-2147483648"), std::string::npos) << file;
}

TEST_F(IniHelpers, WriteIniIntReportsARefusedWrite) {
    const std::wstring nowhere = dir_.Join(L"no-such-folder\\PatcherSettings.ini");
    EXPECT_FALSE(WriteIniInt(nowhere, L"settings", L"count", 3));
    EXPECT_EQ(GetFileAttributesW(nowhere.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(IniHelpers, ReadIniBoolRoundTrip) {
    EXPECT_TRUE(ReadIniBool(Path(), L"settings", L"flag", true));  // absent: current
    EXPECT_FALSE(ReadIniBool(Path(), L"settings", L"flag", false));
    WriteIniInt(Path(), L"settings", L"flag", 1);
    EXPECT_TRUE(ReadIniBool(Path(), L"settings", L"flag", false));
    WriteIniInt(Path(), L"settings", L"flag", 0);
    EXPECT_FALSE(ReadIniBool(Path(), L"settings", L"flag", true));
    WriteIniInt(Path(), L"settings", L"flag", -1);
    EXPECT_FALSE(ReadIniBool(Path(), L"settings", L"flag", true));
    EXPECT_TRUE(ReadIniBool(Path(), L"SETTINGS", L"FLAG", true) == ReadIniBool(Path(), L"settings", L"flag", true));
}

TEST_F(IniHelpers, ReadIniBoolTexts) {
    dir_.Write(L"PatcherSettings.ini",
               "[s]\r\na=true\r\nb=True\r\nc=1\r\nd=TRUE\r\ne=yes\r\nf=0\r\ng=\r\nh= 1 \r\ni=1.0\r\nj=tRUE\r\n");
    EXPECT_TRUE(ReadIniBool(Path(), L"s", L"a", false));
    EXPECT_TRUE(ReadIniBool(Path(), L"s", L"b", false));
    EXPECT_TRUE(ReadIniBool(Path(), L"s", L"c", false));
    EXPECT_FALSE(ReadIniBool(Path(), L"s", L"d", true));
    EXPECT_FALSE(ReadIniBool(Path(), L"s", L"e", true));
    EXPECT_FALSE(ReadIniBool(Path(), L"s", L"f", true));
    EXPECT_FALSE(ReadIniBool(Path(), L"s", L"g", true));  // present but empty
    EXPECT_TRUE(ReadIniBool(Path(), L"s", L"h", false));  // the profile function drops the blanks
    EXPECT_FALSE(ReadIniBool(Path(), L"s", L"i", true));
    EXPECT_FALSE(ReadIniBool(Path(), L"s", L"j", true));
    EXPECT_TRUE(ReadIniBool(Path(), L"s", L"absent", true));
    EXPECT_TRUE(ReadIniBool(dir_.Join(L"no-such.ini"), L"s", L"a", true));
    EXPECT_FALSE(ReadIniBool(dir_.Join(L"no-such.ini"), L"s", L"a", false));
}

}  // namespace
}  // namespace vr

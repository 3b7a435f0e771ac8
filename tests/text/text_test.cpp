// The UTF-8, UTF-16 and Windows-1252 conversions and the blank trim.
#include "text/text.h"

#include <gtest/gtest.h>

#include <string>

namespace vr {
namespace {

using namespace std::string_literals;

TEST(Utf8, BothWaysWithNulBytesAndFaults) {
    const std::string narrow = "\0caf\xC3\xA9 \xE4\xB8\xAD\0\xF0\x9F\x98\x80"s;
    const std::wstring wide = L"\0caf\u00e9 \u4e2d\0\U0001F600"s;
    EXPECT_EQ(Utf8ToWide(narrow), wide);
    EXPECT_EQ(WideToUtf8(wide), narrow);
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(L""), "");
    // Bytes that are not UTF-8 and lone surrogates become U+FFFD; the rest stays.
    EXPECT_EQ(Utf8ToWide("\xC3\xA9\xFE\xE4\xB8\xAD ok\xC3"), L"\u00e9\uFFFD\u4e2d ok\uFFFD");
    EXPECT_EQ(WideToUtf8(L"a\xDC00z\xD83D"), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(Cp1252, TheGamesOldSettingsBytes) {
    EXPECT_EQ(Cp1252ToWide("Width=1920 \x80\x8A\x99 \xE9\0\xFF"s), L"Width=1920 \u20ac\u0160\u2122 \u00e9\0\u00ff"s);
}

TEST(Trim, OnlyTheFourBlanksAtTheEnds) {
    const struct {
        std::wstring text;
        std::wstring trimmed;
    } rows[] = {
        {L" \t\r\n a b \t\r\n ", L"a b"}, {L"", L""},           {L" \t\r\n", L""},
        {L"a \t\r\n b", L"a \t\r\n b"},   {L"\va\f", L"\va\f"}, {L"\u00A0x\u3000", L"\u00A0x\u3000"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(TrimBlanks(row.text), row.trimmed) << WideToUtf8(row.text);
        EXPECT_EQ(Utf8ToWide(TrimBlanks(WideToUtf8(row.text))), row.trimmed) << WideToUtf8(row.text);
    }
}

}  // namespace
}  // namespace vr

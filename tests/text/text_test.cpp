// UTF-8 <-> UTF-16 and the blank trim (Windows-1252 is pinned by the game options tests).
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
    // Bytes that are not UTF-8 and lone surrogates become U+FFFD; the rest stays.
    EXPECT_EQ(Utf8ToWide("\xC3\xA9\xFE\xE4\xB8\xAD ok\xC3"), L"\u00e9\uFFFD\u4e2d ok\uFFFD");
    EXPECT_EQ(WideToUtf8(L"a\xDC00z\xD83D"), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(Trim, OnlyTheFourBlanksAtTheEnds) {
    EXPECT_EQ(TrimBlanks(" \t\r\n a \t\r\n b \t\r\n "s), "a \t\r\n b");
    EXPECT_EQ(TrimBlanks(L" \t\r\n a \t\r\n b \t\r\n "s), L"a \t\r\n b");
    EXPECT_EQ(TrimBlanks("\va\xC2\xA0"s), "\va\xC2\xA0");
    EXPECT_EQ(TrimBlanks(L"\u00A0x\u3000\f"s), L"\u00A0x\u3000\f");
}

}  // namespace
}  // namespace vr

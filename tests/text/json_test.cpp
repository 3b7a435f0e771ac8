// The forgiving JSON object parser, its accessors and the writer.
#include "text/json.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <clocale>
#include <cstdint>
#include <string>

namespace vr {
namespace {

using namespace std::string_literals;

// --- Parser: what is not an object -------------------------------------------

TEST(JsonParse, NonObjectsGiveAnEmptyMap) {
    EXPECT_TRUE(ParseJsonObject("").empty());
    EXPECT_TRUE(ParseJsonObject(" \t\r\n ").empty());
    EXPECT_TRUE(ParseJsonObject("[1,2]").empty());
    EXPECT_TRUE(ParseJsonObject("{a:1}").empty());
    EXPECT_TRUE(ParseJsonObject("\"a\"").empty());
    EXPECT_TRUE(ParseJsonObject("x{\"a\":1}").empty());
    EXPECT_TRUE(ParseJsonObject("{").empty());
    EXPECT_TRUE(ParseJsonObject("{}").empty());
    EXPECT_TRUE(ParseJsonObject("{ }").empty());
    // Only the four JSON blanks are skipped before the brace.
    EXPECT_TRUE(ParseJsonObject("\v{\"a\":1}").empty());
    EXPECT_TRUE(ParseJsonObject("\xEF\xBB\xBF{\"a\":1}").empty());
}

TEST(JsonParse, LeadingWhitespaceBeforeTheObject) {
    const JsonFields f = ParseJsonObject(" \r\n\t{\"cmd\":\"ui.ready\"}");
    EXPECT_EQ(f, (JsonFields{{"cmd", "ui.ready"}}));
}

// --- Parser: members ------------------------------------------------------------

TEST(JsonParse, TrailingCommaIsHarmless) { EXPECT_EQ(ParseJsonObject(R"({"a":1,})"), (JsonFields{{"a", "1"}})); }

TEST(JsonParse, MissingColonIsTolerated) {
    EXPECT_EQ(ParseJsonObject(R"({"a" 1})"), (JsonFields{{"a", "1"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a""x"})"), (JsonFields{{"a", "x"}}));
}

TEST(JsonParse, MissingCommaIsTolerated) {
    // A missing comma: a scalar ends at the quote of the next name
    // (see docs/decisions.md).
    EXPECT_EQ(ParseJsonObject(R"({"a":1 "b":2})"), (JsonFields{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a":true"b":null "c":{} "d":[1] "e":"x"})"),
              (JsonFields{{"a", "true"}, {"b", "null"}, {"c", "{}"}, {"d", "[1]"}, {"e", "x"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a":"x""b":"y"})"), (JsonFields{{"a", "x"}, {"b", "y"}}));
}

TEST(JsonParse, LastDuplicateWins) {
    EXPECT_EQ(ParseJsonObject(R"({"a":1,"a":2})"), (JsonFields{{"a", "2"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a":"x","b":0,"a":[]})"), (JsonFields{{"a", "[]"}, {"b", "0"}}));
}

TEST(JsonParse, StringAndNumberGiveTheSameEntry) {
    EXPECT_EQ(ParseJsonObject(R"({"n": 42 , "s":"42"})"), (JsonFields{{"n", "42"}, {"s", "42"}}));
}

TEST(JsonParse, LiteralsAreKeptRaw) {
    EXPECT_EQ(ParseJsonObject(R"({"v":null})"), (JsonFields{{"v", "null"}}));
    EXPECT_EQ(ParseJsonObject(R"({"t":true,"f":false})"), (JsonFields{{"t", "true"}, {"f", "false"}}));
    EXPECT_EQ(ParseJsonObject(R"({"d":-1.5e3})"), (JsonFields{{"d", "-1.5e3"}}));
}

TEST(JsonParse, ScalarKeepsInnerBlanksAndLosesOuterOnes) {
    EXPECT_EQ(ParseJsonObject("{\"a\": \t1 2 \r\n,\"b\":x}"), (JsonFields{{"a", "1 2"}, {"b", "x"}}));
}

TEST(JsonParse, EmptyScalarValue) {
    EXPECT_EQ(ParseJsonObject(R"({"a":,"b":1})"), (JsonFields{{"a", ""}, {"b", "1"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a":})"), (JsonFields{{"a", ""}}));
}

TEST(JsonParse, EmptyNameAndEmptyString) {
    EXPECT_EQ(ParseJsonObject(R"({"":"","x":""})"), (JsonFields{{"", ""}, {"x", ""}}));
}

TEST(JsonParse, NameThatIsNotAStringEndsTheParse) {
    EXPECT_EQ(ParseJsonObject(R"({"a":1,b:2,"c":3})"), (JsonFields{{"a", "1"}}));
}

TEST(JsonParse, TextEndingAfterTheNameStoresNothing) {
    EXPECT_EQ(ParseJsonObject(R"({"a":1,"b")"), (JsonFields{{"a", "1"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a":1,"b":  )"), (JsonFields{{"a", "1"}}));
}

TEST(JsonParse, UnclosedObjectKeepsWhatWasRead) {
    EXPECT_EQ(ParseJsonObject(R"({"a":1,"b":2)"), (JsonFields{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a":1,)"), (JsonFields{{"a", "1"}}));
}

TEST(JsonParse, TextAfterTheObjectIsIgnored) {
    EXPECT_EQ(ParseJsonObject(R"({"a":1} {"b":2} garbage)"), (JsonFields{{"a", "1"}}));
}

TEST(JsonParse, ClosingBracketEndsAScalarAndThenTheParse) {
    EXPECT_EQ(ParseJsonObject(R"({"a":1],"b":2})"), (JsonFields{{"a", "1"}}));
}

// --- Parser: nested values ----------------------------------------------------

TEST(JsonParse, NestedObjectKeptRawWithBracesInsideStrings) {
    const JsonFields f = ParseJsonObject(R"({"o":{"x":"}"},"k":1})");
    EXPECT_EQ(f, (JsonFields{{"o", R"({"x":"}"})"}, {"k", "1"}}));
    EXPECT_EQ(ParseJsonObject(f.at("o")), (JsonFields{{"x", "}"}}));
}

TEST(JsonParse, ArrayOfObjectsKeptRaw) {
    EXPECT_EQ(ParseJsonObject(R"({"a":[{"b":1}],"c":2})"), (JsonFields{{"a", R"([{"b":1}])"}, {"c", "2"}}));
}

TEST(JsonParse, NestedValuesKeepTheirInnerTextVerbatim) {
    const std::string inner = "{ \"x\" : [ 1 , { \"y\" : \"]}\\\"{[\" } ] ,\n \"z\":{}}";
    const JsonFields f = ParseJsonObject("{\"o\":  " + inner + "  ,\"k\":\"v\"}");
    EXPECT_EQ(f.at("o"), inner);
    EXPECT_EQ(f.at("k"), "v");
}

TEST(JsonParse, DeepNestingNeedsNoRecursion) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const JsonFields f = ParseJsonObject("{\"a\":" + deep + ",\"b\":1}");
    EXPECT_EQ(f.at("a").size(), deep.size());
    EXPECT_EQ(f.at("b"), "1");
}

TEST(JsonParse, OnlyTheOpeningBracketKindIsCounted) {
    // Inside an object value square brackets are ordinary characters...
    EXPECT_EQ(ParseJsonObject(R"({"o":{"a":[}],"k":1})"), (JsonFields{{"o", R"({"a":[})"}}));
    // ...and inside an array value braces are.
    EXPECT_EQ(ParseJsonObject(R"({"a":[{]},"k":1})"), (JsonFields{{"a", "[{]"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a":[1,{"x":]}],"k":2})"), (JsonFields{{"a", R"([1,{"x":])"}}));
}

TEST(JsonParse, UnclosedNestedValueRunsToTheEnd) {
    EXPECT_EQ(ParseJsonObject(R"({"a":{"b":[1,2)"), (JsonFields{{"a", R"({"b":[1,2)"}}));
    EXPECT_EQ(ParseJsonObject("{\"a\":[1, \"]\"  \n"), (JsonFields{{"a", "[1, \"]\""}}));
}

// --- Parser: strings ------------------------------------------------------------

TEST(JsonString, SimpleEscapes) {
    const JsonFields f = ParseJsonObject(R"({"s":"q\"s\/b\\B\bF\fN\nR\rT\t"})");
    EXPECT_EQ(f.at("s"), "q\"s/b\\B\bF\fN\nR\rT\t");
}

TEST(JsonString, UnknownEscapeDropsTheBackslash) {
    EXPECT_EQ(ParseJsonObject(R"({"s":"x\qy"})").at("s"), "xqy");
    EXPECT_EQ(ParseJsonObject(R"({"s":"\U0041\'"})").at("s"), "U0041'");
}

TEST(JsonString, EscapesInNames) { EXPECT_EQ(ParseJsonObject(R"({"a\"b\u0063":1})"), (JsonFields{{"a\"bc", "1"}})); }

TEST(JsonString, UnicodeEscapes) {
    EXPECT_EQ(ParseJsonObject(R"({"s":"\u0041\u00e9"})").at("s"), "A\xC3\xA9");
    EXPECT_EQ(ParseJsonObject(R"({"s":"\u4E2D\u20ac"})").at("s"), "\xE4\xB8\xAD\xE2\x82\xAC");
    // U+0000 is one NUL byte in the value.
    EXPECT_EQ(ParseJsonObject(R"({"s":"a\u0000b"})").at("s"), "a\0b"s);
}

TEST(JsonString, SurrogatePairEscapesGiveTwoReplacementCharacters) {
    EXPECT_EQ(ParseJsonObject(R"({"s":"\ud83d\ude00"})").at("s"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(ParseJsonObject(R"({"s":"x\uDC00y"})").at("s"), "x\xEF\xBF\xBDy");
}

TEST(JsonString, FourCharactersAreTakenWhateverTheyAre) {
    // strtoul stops at the first non-hexadecimal character.
    EXPECT_EQ(ParseJsonObject(R"({"s":"\u41zzQ"})").at("s"), "AQ");
    // Nothing readable gives 0.
    EXPECT_EQ(ParseJsonObject(R"({"s":"\uzzzzQ"})").at("s"), "\0Q"s);
    // The quote is one of the four: the string goes on after it.
    EXPECT_EQ(ParseJsonObject(R"({"s":"\u4"xyz","k":1})"), (JsonFields{{"s", "\x04z"}, {"k", "1"}}));
    // strtoul's own rules: leading blanks and a 0x prefix are accepted.
    EXPECT_EQ(ParseJsonObject(R"({"s":"\u 41 "})").at("s"), "A");
    EXPECT_EQ(ParseJsonObject(R"({"s":"\u0x41"})").at("s"), "A");
}

TEST(JsonString, ShortUnicodeEscapeDropsBackslashAndU) {
    EXPECT_EQ(ParseJsonObject(R"({"s":"\u1"})").at("s"), "1");
    EXPECT_EQ(ParseJsonObject(R"({"s":"ab\u12)").at("s"), "ab12");
    EXPECT_EQ(ParseJsonObject(R"({"s":"ab\u)").at("s"), "ab");
}

TEST(JsonString, UnicodeEscapeSwallowsTheClosingQuoteAndBrace) {
    // The four characters after the u are 1 2 " }: the value is "ab" and the
    // control character U+0012, and the text then ends.
    EXPECT_EQ(ParseJsonObject(R"({"s":"ab\u12"})"), (JsonFields{{"s", "ab\x12"}}));
    EXPECT_EQ(ParseJsonObject(R"({"a":1,"s":"ab\u12"}")"), (JsonFields{{"a", "1"}, {"s", "ab\x12"}}));
}

TEST(JsonString, UnterminatedString) {
    EXPECT_EQ(ParseJsonObject(R"({"s":"abc)"), (JsonFields{{"s", "abc"}}));
    // A name that never ends is read to the end and then nothing is stored.
    EXPECT_EQ(ParseJsonObject(R"({"a":1,"name)"), (JsonFields{{"a", "1"}}));
}

TEST(JsonString, BackslashAtTheEndIsLiteral) {
    EXPECT_EQ(ParseJsonObject(R"({"s":"abc\)"), (JsonFields{{"s", "abc\\"}}));
}

TEST(JsonString, Utf8AndControlBytesPassUnchanged) {
    const std::string text = "{\"s\":\"\xC3\xA9\t\x01\xFF\x80\"}";
    EXPECT_EQ(ParseJsonObject(text).at("s"), "\xC3\xA9\t\x01\xFF\x80");
}

TEST(JsonString, StringValueIsNotTrimmed) { EXPECT_EQ(ParseJsonObject(R"({"s":"  x  "})").at("s"), "  x  "); }

TEST(JsonParse, MapOrderIsBytewise) {
    const JsonFields f = ParseJsonObject(R"({"b":1,"a":2,"B":3,"ab":4,"\u00e9":5})");
    std::string order;
    for (const auto& [name, value] : f) order += value;
    EXPECT_EQ(order, "32415");
}

// --- Accessors -----------------------------------------------------------------

TEST(JsonAccess, GetString) {
    const JsonFields f = ParseJsonObject(R"({"cmd":"game.play","e":"","n":5})");
    EXPECT_EQ(JsonGetString(f, "cmd", ""), "game.play");
    EXPECT_EQ(JsonGetString(f, "e", "fallback"), "");
    EXPECT_EQ(JsonGetString(f, "n", ""), "5");
    EXPECT_EQ(JsonGetString(f, "missing", "fallback"), "fallback");
    EXPECT_EQ(JsonGetString(f, "CMD", "-"), "-");
}

TEST(JsonAccess, GetIntReadsLikeStrtoi64) {
    const JsonFields f = ParseJsonObject(
        R"({"a":"12.7","b":"abc","c":"","d":"  -42x","e":"+7","f":"0x1A","g":" \t99","h":"--1","i":"- 1","j":"007"})");
    EXPECT_EQ(JsonGetInt(f, "a", -1), 12);
    EXPECT_EQ(JsonGetInt(f, "b", -1), 0);
    EXPECT_EQ(JsonGetInt(f, "c", -1), -1);
    EXPECT_EQ(JsonGetInt(f, "missing", 77), 77);
    EXPECT_EQ(JsonGetInt(f, "d", -1), -42);
    EXPECT_EQ(JsonGetInt(f, "e", -1), 7);
    EXPECT_EQ(JsonGetInt(f, "f", -1), 0);
    EXPECT_EQ(JsonGetInt(f, "g", -1), 99);
    EXPECT_EQ(JsonGetInt(f, "h", -1), 0);
    EXPECT_EQ(JsonGetInt(f, "i", -1), 0);
    EXPECT_EQ(JsonGetInt(f, "j", -1), 7);
}

TEST(JsonAccess, GetIntNumbersAndSaturation) {
    const JsonFields f =
        ParseJsonObject(R"({"max":9223372036854775807,"min":-9223372036854775808,"over":9223372036854775808,)"
                        R"("under":-9223372036854775809,"huge":"123456789012345678901234567890","t":true,"n":-3})");
    EXPECT_EQ(JsonGetInt(f, "max", 0), INT64_MAX);
    EXPECT_EQ(JsonGetInt(f, "min", 0), INT64_MIN);
    EXPECT_EQ(JsonGetInt(f, "over", 0), INT64_MAX);
    EXPECT_EQ(JsonGetInt(f, "under", 0), INT64_MIN);
    EXPECT_EQ(JsonGetInt(f, "huge", 0), INT64_MAX);
    EXPECT_EQ(JsonGetInt(f, "t", 5), 0);
    EXPECT_EQ(JsonGetInt(f, "n", 5), -3);
}

TEST(JsonAccess, GetBool) {
    const JsonFields f =
        ParseJsonObject(R"({"a":true,"b":"true","c":1,"d":"1","e":True,"f":false,"g":0,"h":"","i":" 1","j":"TRUE"})");
    EXPECT_TRUE(JsonGetBool(f, "a", false));
    EXPECT_TRUE(JsonGetBool(f, "b", false));
    EXPECT_TRUE(JsonGetBool(f, "c", false));
    EXPECT_TRUE(JsonGetBool(f, "d", false));
    EXPECT_FALSE(JsonGetBool(f, "e", true));
    EXPECT_FALSE(JsonGetBool(f, "f", true));
    EXPECT_FALSE(JsonGetBool(f, "g", true));
    EXPECT_FALSE(JsonGetBool(f, "h", true));
    EXPECT_FALSE(JsonGetBool(f, "i", true));
    EXPECT_FALSE(JsonGetBool(f, "j", true));
    EXPECT_TRUE(JsonGetBool(f, "missing", true));
    EXPECT_FALSE(JsonGetBool(f, "missing", false));
}

// --- Writer -----------------------------------------------------------------------

TEST(JsonWrite, EmptyWriterFinishesAsBraces) {
    const JsonWriter w;
    EXPECT_EQ(FinishObject(w), "{}");
}

TEST(JsonWrite, MembersAreCompactAndInCallOrder) {
    JsonWriter w;
    AddString(w, "a", "x");
    AddInt(w, "b", 1);
    EXPECT_EQ(FinishObject(w), R"({"a":"x","b":1})");
    EXPECT_EQ(w, R"("a":"x","b":1)");  // FinishObject leaves the writer as it was
}

TEST(JsonWrite, CallsChainAndNamesAreNotDeduplicated) {
    JsonWriter w;
    AddRaw(AddBool(AddBool(AddString(w, "k", ""), "t", true), "f", false), "k", R"([1,{"x":2}])");
    EXPECT_EQ(FinishObject(w), R"({"k":"","t":true,"f":false,"k":[1,{"x":2}]})");
}

TEST(JsonWrite, NamesAreEscapedInEveryAdd) {
    JsonWriter w;
    AddInt(w, "a\"", 1);
    AddDouble(w, "b\\", 1);
    AddBool(w, "c\n", true);
    AddRaw(w, "d\x01", "null");
    AddString(w, "e\t", "v\"");
    EXPECT_EQ(FinishObject(w), R"({"a\"":1,"b\\":1.00,"c\n":true,"d\u0001":null,"e\t":"v\""})");
}

TEST(JsonWrite, RawIsAppendedUnchanged) {
    JsonWriter w;
    AddRaw(w, "list", "[]");
    AddRaw(w, "odd", " { not checked ");
    EXPECT_EQ(FinishObject(w), R"({"list":[],"odd": { not checked })");
}

TEST(JsonWrite, IntegerForms) {
    JsonWriter w;
    AddInt(w, "zero", 0);
    AddInt(w, "one", 1);
    AddInt(w, "neg", -1);
    AddInt(w, "ten", 10);
    AddInt(w, "negten", -100);
    AddInt(w, "max", INT64_MAX);
    AddInt(w, "min", INT64_MIN);
    EXPECT_EQ(FinishObject(w), R"({"zero":0,"one":1,"neg":-1,"ten":10,"negten":-100,"max":9223372036854775807,)"
                               R"("min":-9223372036854775808})");
}

std::string DoubleText(double value) {
    JsonWriter w;
    AddDouble(w, "d", value);
    return w.substr(4);
}

TEST(JsonWrite, DoubleForms) {
    EXPECT_EQ(DoubleText(0.5), "0.50");
    EXPECT_EQ(DoubleText(100), "100.00");
    EXPECT_EQ(DoubleText(0), "0.00");
    EXPECT_EQ(DoubleText(-0.0), "-0.00");
    EXPECT_EQ(DoubleText(-1.5), "-1.50");
    EXPECT_EQ(DoubleText(99.999), "100.00");
    EXPECT_EQ(DoubleText(-0.001), "-0.00");
    EXPECT_EQ(DoubleText(1234567.891), "1234567.89");
    EXPECT_EQ(DoubleText(0.125), "0.12");  // exactly representable tie: rounds to even, as "%.2f" does
    EXPECT_EQ(DoubleText(0.375), "0.38");
    EXPECT_EQ(DoubleText(1e20), "100000000000000000000.00");
}

TEST(JsonWrite, HugeDoubleIsCutTo63Bytes) {
    const std::string text = DoubleText(1e80);
    EXPECT_EQ(text.size(), 63u);
    EXPECT_EQ(text.substr(0, 5), "10000");
}

// The decimal separator stays a point whatever the C library's locale says.
class CommaLocale : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::setlocale(LC_ALL, nullptr);
        saved_ = old != nullptr ? old : "C";
        if (std::setlocale(LC_ALL, "German") == nullptr && std::setlocale(LC_ALL, "de-DE") == nullptr &&
            std::setlocale(LC_ALL, "French") == nullptr) {
            GTEST_SKIP() << "no comma-decimal locale available";
        }
    }
    void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }
    std::string saved_;
};

TEST_F(CommaLocale, DoubleUsesAPointAnyway) {
    char check[64];
    std::snprintf(check, sizeof check, "%.2f", 0.5);
    EXPECT_STREQ(check, "0,50") << "the locale switch did not take effect";
    EXPECT_EQ(DoubleText(0.5), "0.50");
    EXPECT_EQ(DoubleText(1234.5), "1234.50");
    EXPECT_EQ(DoubleText(-2.25), "-2.25");
    JsonWriter w;
    AddDouble(AddDouble(w, "p", 12.345), "q", 100);
    EXPECT_EQ(FinishObject(w), R"({"p":12.35,"q":100.00})");  // 12.345 is stored a little above
}

TEST_F(CommaLocale, ThreadLocaleToo) {
    // A thread with its own locale (per-thread locale mode) changes nothing either.
    const int previous = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    std::setlocale(LC_ALL, "German");
    EXPECT_EQ(DoubleText(0.5), "0.50");
    std::setlocale(LC_ALL, saved_.c_str());
    _configthreadlocale(previous);
}

// --- Escaping --------------------------------------------------------------------

TEST(JsonEscapeTest, EveryControlByte) {
    const char* expected[32] = {"\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
                                "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
                                "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
                                "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
    for (int c = 0; c < 32; ++c) {
        EXPECT_EQ(JsonEscape(std::string(1, static_cast<char>(c))), expected[c]) << "byte " << c;
    }
}

TEST(JsonEscapeTest, QuoteBackslashAndEverythingElse) {
    EXPECT_EQ(JsonEscape("\x41\x22\x5C\x2F\x01\x7F\xC3\xA9"), "A\\\"\\\\/\\u0001\x7F\xC3\xA9");
    std::string high;
    for (int c = 0x20; c <= 0xFF; ++c) {
        if (c != '"' && c != '\\') high += static_cast<char>(c);
    }
    EXPECT_EQ(JsonEscape(high), high);
    EXPECT_EQ(JsonEscape(""), "");
}

TEST(JsonEscapeTest, StringArrayBuiltByTheCaller) {
    const std::string items[] = {"a.webm", "b\"c.webm"};
    std::string list = "[";
    for (const auto& item : items) {
        if (list.size() > 1) list += ',';
        list += '"' + JsonEscape(item) + '"';
    }
    list += ']';
    JsonWriter w;
    AddRaw(w, "backgrounds", list);
    EXPECT_EQ(FinishObject(w), R"({"backgrounds":["a.webm","b\"c.webm"]})");
}

// --- Round trip -------------------------------------------------------------------

TEST(JsonRoundTrip, WrittenStringsReadBack) {
    std::string all;
    for (int c = 1; c < 0x80; ++c) all += static_cast<char>(c);
    all += "\xC3\xA9\xE4\xB8\xAD";
    JsonWriter w;
    AddString(w, "s", all);
    AddInt(w, "i", INT64_MIN);
    AddBool(w, "b", true);
    const JsonFields f = ParseJsonObject(FinishObject(w));
    EXPECT_EQ(JsonGetString(f, "s", ""), all);
    EXPECT_EQ(JsonGetInt(f, "i", 0), INT64_MIN);
    EXPECT_TRUE(JsonGetBool(f, "b", false));
}

}  // namespace
}  // namespace vr

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

TEST(JsonParse, ForgivingReadings) {
    const struct {
        std::string text;
        JsonFields expected;
    } rows[] = {
        {"", {}},
        {"[1,2]", {}},
        {"{a:1}", {}},
        {"\v{\"a\":1}", {}},  // only the four JSON blanks lead in
        {" \r\n\t{\"cmd\":\"ui.ready\"}", {{"cmd", "ui.ready"}}},
        {R"({"a":1,})", {{"a", "1"}}},
        {R"({"a" 1})", {{"a", "1"}}},
        // A missing comma: a scalar ends at the next quote (docs/decisions.md).
        {R"({"a":1 "b":2})", {{"a", "1"}, {"b", "2"}}},
        {R"({"a":true"b":null "c":{} "d":[1] "e":"x"})",
         {{"a", "true"}, {"b", "null"}, {"c", "{}"}, {"d", "[1]"}, {"e", "x"}}},
        {R"({"a":1,"a":2})", {{"a", "2"}}},
        {"{\"a\": \t1 2 \r\n,\"b\":-1.5e3}", {{"a", "1 2"}, {"b", "-1.5e3"}}},
        {R"({"a":,"b":1})", {{"a", ""}, {"b", "1"}}},
        {R"({"a":1,b:2,"c":3})", {{"a", "1"}}},
        {R"({"a":1,"b":  )", {{"a", "1"}}},
        {R"({"a":1,"b":2)", {{"a", "1"}, {"b", "2"}}},
        {R"({"a":1} {"b":2})", {{"a", "1"}}},
        {R"({"a":1],"b":2})", {{"a", "1"}}},
        {R"({"o":{"x":"}"},"k":1})", {{"o", R"({"x":"}"})"}, {"k", "1"}}},
        // Only the opening bracket's own kind is counted.
        {R"({"o":{"a":[}],"k":1})", {{"o", R"({"a":[})"}}},
        {R"({"a":[{]},"k":1})", {{"a", "[{]"}}},
        {R"({"a":{"b":[1,2)", {{"a", R"({"b":[1,2)"}}},
        {R"({"s":"q\"s\/b\\B\bF\fN\nR\rT\t","x\qy":"  z  "})", {{"s", "q\"s/b\\B\bF\fN\nR\rT\t"}, {"xqy", "  z  "}}},
        {R"({"s":"\u0041\u00e9\u4E2D","n":"a\u0000b"})", {{"s", "A\xC3\xA9\xE4\xB8\xAD"}, {"n", "a\0b"s}}},
        {R"({"s":"\ud83d\ude00"})", {{"s", "\xEF\xBF\xBD\xEF\xBF\xBD"}}},  // each unit alone
        // Exactly four characters after \u, read as strtoul reads them.
        {R"({"s":"\u41zzQ","t":"\u4"xyz","k":1})", {{"s", "AQ"}, {"t", "\x04z"}, {"k", "1"}}},
        {R"({"s":"ab\u12"})", {{"s", "ab\x12"}}},
        {R"({"s":"ab\u1)", {{"s", "ab1"}}},
        {R"({"s":"abc\)", {{"s", "abc\\"}}},
        {"{\"s\":\"\xC3\xA9\t\x01\xFF\"}", {{"s", "\xC3\xA9\t\x01\xFF"}}},
    };
    for (const auto& row : rows) EXPECT_EQ(ParseJsonObject(row.text), row.expected) << row.text;
}

TEST(JsonParse, DeepNestingNeedsNoRecursion) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const JsonFields f = ParseJsonObject("{\"a\":" + deep + ",\"b\":1}");
    EXPECT_EQ(f.at("a").size(), deep.size());
    EXPECT_EQ(f.at("b"), "1");
}

TEST(JsonAccess, ValuesReadAsNumbersAndFlags) {
    const struct {
        const char* value;  // as it stands in the object
        int64_t number;     // fallback -1
        bool flag;          // fallback false
    } rows[] = {
        {"12.7", 12, false},   {"\"abc\"", 0, false},     {"\"\"", -1, false},
        {"\"  -42x\"", -42, false}, {"\"+7\"", 7, false}, {"\"0x1A\"", 0, false},
        {"\"007\"", 7, false}, {"\"--1\"", 0, false},     {"true", 0, true},
        {"\"true\"", 0, true}, {"1", 1, true},            {"True", 0, false},
        {"\"TRUE\"", 0, false}, {"\" 1\"", 1, false},     {"9223372036854775807", INT64_MAX, false},
        {"9223372036854775808", INT64_MAX, false},         {"-9223372036854775809", INT64_MIN, false},
    };
    for (const auto& row : rows) {
        const JsonFields f = ParseJsonObject(std::string("{\"v\":") + row.value + "}");
        EXPECT_EQ(JsonGetInt(f, "v", -1), row.number) << row.value;
        EXPECT_EQ(JsonGetBool(f, "v", false), row.flag) << row.value;
    }
    EXPECT_EQ(JsonGetInt({}, "v", 77), 77);
    EXPECT_TRUE(JsonGetBool({}, "v", true));
}

std::string DoubleText(double value) {
    JsonWriter w;
    AddDouble(w, "d", value);
    return w.substr(4);
}

TEST(JsonWrite, MembersInCallOrderWithEscapedNames) {
    JsonWriter w;
    EXPECT_EQ(FinishObject(w), "{}");
    AddInt(w, "a\"", INT64_MIN);
    AddDouble(w, "b\\", 1);
    AddBool(AddBool(w, "c\n", true), "c\n", false);
    AddRaw(w, "d\x01", "[1,{\"x\":2}]");
    AddString(w, "e\t", "v\"");
    AddInt(w, "f", 0);
    EXPECT_EQ(FinishObject(w),
              R"({"a\"":-9223372036854775808,"b\\":1.00,"c\n":true,"c\n":false,"d\u0001":[1,{"x":2}],"e\t":"v\"","f":0})");
}

TEST(JsonWrite, DoublesAsPrintfInTheCLocale) {
    const struct {
        double value;
        const char* text;
    } rows[] = {{0.5, "0.50"},   {-0.0, "-0.00"}, {99.999, "100.00"}, {-0.001, "-0.00"}, {1234567.891, "1234567.89"},
                // Exact binary ties round to even; 12.345 is stored a little above.
                {0.125, "0.12"}, {0.375, "0.38"}, {12.345, "12.35"}};
    for (const auto& row : rows) EXPECT_EQ(DoubleText(row.value), row.text) << row.value;
    const std::string huge = DoubleText(1e80);  // kept to 63 bytes, as a 64-byte buffer would
    EXPECT_EQ(huge.size(), 63u);
    EXPECT_EQ(huge.substr(0, 5), "10000");

    // A comma-decimal locale, process-wide and then per thread, changes nothing.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "German") == nullptr) GTEST_SKIP() << "no comma-decimal locale available";
    char check[16];
    std::snprintf(check, sizeof check, "%.2f", 0.5);
    EXPECT_STREQ(check, "0,50") << "the locale switch did not take effect";
    EXPECT_EQ(DoubleText(-2.25), "-2.25");
    std::setlocale(LC_ALL, saved.c_str());
    const int previous = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    std::setlocale(LC_ALL, "German");
    EXPECT_EQ(DoubleText(0.5), "0.50");
    std::setlocale(LC_ALL, saved.c_str());
    _configthreadlocale(previous);
}

TEST(JsonEscape, ControlBytesQuoteAndBackslashOnly) {
    const char* shortForms[32] = {};
    shortForms[8] = "\\b", shortForms[9] = "\\t", shortForms[10] = "\\n", shortForms[12] = "\\f", shortForms[13] = "\\r";
    for (int c = 0; c < 32; ++c) {
        char expected[8];
        std::snprintf(expected, sizeof expected, "\\u%04x", c);
        EXPECT_EQ(JsonEscape(std::string(1, static_cast<char>(c))), shortForms[c] ? shortForms[c] : expected) << c;
    }
    std::string rest;
    for (int c = 0x20; c <= 0xFF; ++c) {
        if (c != '"' && c != '\\') rest += static_cast<char>(c);
    }
    EXPECT_EQ(JsonEscape(rest), rest);
    EXPECT_EQ(JsonEscape("a\"\\/"), "a\\\"\\\\/");
}

TEST(JsonRoundTrip, WrittenStringsReadBack) {
    std::string all;
    for (int c = 1; c < 0x80; ++c) all += static_cast<char>(c);
    all += "\xC3\xA9\xE4\xB8\xAD";
    JsonWriter w;
    AddString(w, "s", all);
    EXPECT_EQ(JsonGetString(ParseJsonObject(FinishObject(w)), "s", ""), all);
}

}  // namespace
}  // namespace vr

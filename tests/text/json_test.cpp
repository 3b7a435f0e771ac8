// The forgiving JSON object parser, its accessors and the writer.
#include "text/json.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>

namespace vr {
namespace {

using namespace std::string_literals;

TEST(JsonParse, ForgivingReadings) {
    for (const char* text : {"", "[1,2]", "{a:1}", "{", "\v{\"a\":1}"}) EXPECT_TRUE(ParseJsonObject(text).empty());
    // Each ends the parse after "a".
    for (const char* text : {R"({"a":1,b:2,"c":3})", R"({"a":1,"b":  )", R"({"a":1} {"b":2})", R"({"a":1],"b":2})"})
        EXPECT_EQ(ParseJsonObject(text), (JsonFields{{"a", "1"}})) << text;
    const std::pair<std::string, JsonFields> rows[] = {
        {" \r\n\t{\"a\" 1,\"a\":\"x\", \"b\":\t1 2 \r\n,\"c\":,\"d\":-1.5e3,",
         {{"a", "x"}, {"b", "1 2"}, {"c", ""}, {"d", "-1.5e3"}}},
        // A missing comma: a scalar ends at the next quote (docs/decisions.md).
        {R"({"a":1 "b":2})", {{"a", "1"}, {"b", "2"}}},
        {R"({"a":true"b":null "c":{} "d":[1] "e":"x"})",
         {{"a", "true"}, {"b", "null"}, {"c", "{}"}, {"d", "[1]"}, {"e", "x"}}},
        // Nested values stay raw; only the opening bracket's own kind is counted.
        {R"({"o":{"x":"}"},"k":1,"a":[{]},"z":2})", {{"o", R"({"x":"}"})"}, {"k", "1"}, {"a", "[{]"}}},
        {R"({"o":{"a":[}],"k":1})", {{"o", R"({"a":[})"}}},
        {R"({"a":{"b":[1,2)", {{"a", R"({"b":[1,2)"}}},
        {"{\"s\":\"q\\\"s\\/b\\\\B\\bF\\fN\\nR\\rT\\t\xC3\xA9\x01\xFF\",\"x\\qy\":\"  z  \"}",
         {{"s", "q\"s/b\\B\bF\fN\nR\rT\t\xC3\xA9\x01\xFF"}, {"xqy", "  z  "}}},
        // \u takes exactly four characters, read as strtoul reads them, each unit on its own.
        {R"({"s":"\u0041\u00e9\u4E2D","n":"a\u0000b","p":"\ud83d\ude00"})",
         {{"s", "A\xC3\xA9\xE4\xB8\xAD"}, {"n", "a\0b"s}, {"p", "\xEF\xBF\xBD\xEF\xBF\xBD"}}},
        {R"({"s":"\u41zzQ","t":"\u4"xyz","k":1})", {{"s", "AQ"}, {"t", "\x04z"}, {"k", "1"}}},
        {R"({"s":"ab\u12"})", {{"s", "ab\x12"}}},
        {R"({"s":"ab\u1)", {{"s", "ab1"}}},
        {R"({"s":"abc\)", {{"s", "abc\\"}}}};
    for (const auto& [text, fields] : rows) EXPECT_EQ(ParseJsonObject(text), fields) << text;
}

TEST(JsonAccess, ValuesReadAsNumbersAndFlags) {
    const JsonFields f = ParseJsonObject(R"({"a":12.7,"b":"abc","c":"","d":"  -42x","e":"0x1A","f":true,"g":"true",)"
                                         R"("h":1,"i":True,"j":9223372036854775808,"k":-9223372036854775809})");
    const int64_t numbers[] = {12, 0, -1, -42, 0, 0, 0, 1, 0, INT64_MAX, INT64_MIN, 77};
    for (char name = 'a'; name <= 'l'; ++name) {
        const std::string shown = name + (f.count({name}) ? ": " + f.at({name}) : std::string(" absent"));
        EXPECT_EQ(JsonGetInt(f, {name}, name == 'l' ? 77 : -1), numbers[name - 'a']) << shown;
        EXPECT_EQ(JsonGetBool(f, {name}, name == 'l'), std::strchr("fghl", name) != nullptr) << shown;
    }
}

TEST(JsonWrite, MembersInCallOrderWithNamesAndTextsEscaped) {
    JsonWriter w;
    EXPECT_EQ(FinishObject(w), "{}");
    AddBool(AddBool(AddInt(w, "a\"", INT64_MIN), "c\n", true), "c\n", false);
    AddRaw(AddDouble(w, "b\\", 1), "d\x01", "[1,{\"x\":2}]");
    AddInt(AddString(w, "e\t", "v\"\x1F"), "f", 0);
    EXPECT_EQ(FinishObject(w), R"({"a\"":-9223372036854775808,"c\n":true,"c\n":false,"b\\":1.00,"d\u0001":[1,{"x":2}],)"
                               R"("e\t":"v\"\u001f","f":0})");
    EXPECT_EQ(JsonEscape("\0\b\f\r\x0B\x7F"s), "\\u0000\\b\\f\\r\\u000b\x7F");
    std::string rest;
    for (int c = 0x20; c <= 0xFF; ++c)
        if (c != '"' && c != '\\') rest += static_cast<char>(c);
    EXPECT_EQ(JsonEscape(rest), rest);
}

TEST(JsonWrite, DoublesAsPrintfInTheCLocaleWhateverTheLocale) {
    const auto DoubleText = [](double value) {
        JsonWriter w;
        return AddDouble(w, "d", value).substr(4);
    };
    // Exact binary ties round to even; 12.345 is stored a little above.
    const double values[] = {0.5, -0.0, 99.999, -0.001, 0.125, 0.375, 12.345, 1234567.891};
    const char* texts[] = {"0.50", "-0.00", "100.00", "-0.00", "0.12", "0.38", "12.35", "1234567.89"};
    for (size_t i = 0; i < std::size(values); ++i) EXPECT_EQ(DoubleText(values[i]), texts[i]) << values[i];
    EXPECT_EQ(DoubleText(1e80).size(), 63u) << "kept to 63 bytes, as a 64-byte buffer would";

    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "German") == nullptr) GTEST_SKIP() << "no comma-decimal locale available";
    char check[16];
    std::snprintf(check, sizeof check, "%.2f", 0.5);
    EXPECT_STREQ(check, "0,50") << "the locale switch did not take effect";
    EXPECT_EQ(DoubleText(-2.25), "-2.25");
    std::setlocale(LC_ALL, saved.c_str());
    const int previous = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    std::setlocale(LC_ALL, "German");
    EXPECT_EQ(DoubleText(0.5), "0.50") << "with a thread locale";
    std::setlocale(LC_ALL, saved.c_str());
    _configthreadlocale(previous);
}

}  // namespace
}  // namespace vr

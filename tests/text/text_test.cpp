// The conversions run on the real platform functions; a hook on
// this executable's import table counts and records the calls they make.
#include "text/text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace vr {
namespace {

using namespace std::string_literals;

// --- Import table hook ----------------------------------------------------------

struct Call {
    UINT codePage;
    DWORD flags;
    bool measuring;  // output size 0
    int inputLength;
    bool defaultCharGiven;
};
std::vector<Call> g_calls;

decltype(&MultiByteToWideChar) g_realMbToWc = nullptr;
decltype(&WideCharToMultiByte) g_realWcToMb = nullptr;

int WINAPI CountingMbToWc(UINT cp, DWORD flags, LPCCH in, int inLen, LPWSTR out, int outLen) {
    g_calls.push_back({cp, flags, outLen == 0, inLen, false});
    return g_realMbToWc(cp, flags, in, inLen, out, outLen);
}

int WINAPI CountingWcToMb(UINT cp, DWORD flags, LPCWCH in, int inLen, LPSTR out, int outLen, LPCCH defaultChar,
                          LPBOOL usedDefault) {
    g_calls.push_back({cp, flags, outLen == 0, inLen, defaultChar != nullptr || usedDefault != nullptr});
    return g_realWcToMb(cp, flags, in, inLen, out, outLen, defaultChar, usedDefault);
}

// Replaces the executable's import slot for a kernel32 function; returns the
// previous target, or nullptr when the slot is not found.
void* PatchImport(const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return nullptr;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name != 0; ++imp) {
        if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), "kernel32.dll") != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (imp->OriginalFirstThunk ? imp->OriginalFirstThunk : imp->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return previous;
        }
    }
    return nullptr;
}

class PlatformCalls : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_realMbToWc = reinterpret_cast<decltype(g_realMbToWc)>(
            PatchImport("MultiByteToWideChar", reinterpret_cast<void*>(&CountingMbToWc)));
        g_realWcToMb = reinterpret_cast<decltype(g_realWcToMb)>(
            PatchImport("WideCharToMultiByte", reinterpret_cast<void*>(&CountingWcToMb)));
        ASSERT_NE(g_realMbToWc, nullptr) << "MultiByteToWideChar import not found";
        ASSERT_NE(g_realWcToMb, nullptr) << "WideCharToMultiByte import not found";
    }
    void TearDown() override {
        if (g_realMbToWc != nullptr) PatchImport("MultiByteToWideChar", reinterpret_cast<void*>(g_realMbToWc));
        if (g_realWcToMb != nullptr) PatchImport("WideCharToMultiByte", reinterpret_cast<void*>(g_realWcToMb));
    }
};

TEST_F(PlatformCalls, HookSeesConversions) {
    EXPECT_EQ(Utf8ToWide("abc"), L"abc");
    EXPECT_FALSE(g_calls.empty()) << "the hook is not in the conversions' path";
}

TEST_F(PlatformCalls, EmptyInputMakesNoPlatformCall) {
    SetLastError(0xC0DE);
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(L""), "");
    EXPECT_EQ(Cp1252ToWide(""), L"");
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(GetLastError(), 0xC0DEu);
}

TEST_F(PlatformCalls, MeasureThenConvertWithFlagsZeroAndExplicitLength) {
    const std::string utf8 = "a\0b\xC3\xA9"s;
    Utf8ToWide(utf8);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_TRUE(g_calls[0].measuring);
    EXPECT_FALSE(g_calls[1].measuring);
    for (const Call& c : g_calls) {
        EXPECT_EQ(c.codePage, 65001u);
        EXPECT_EQ(c.flags, 0u);
        EXPECT_EQ(c.inputLength, 5);
    }

    g_calls.clear();
    WideToUtf8(L"x\0y"s);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_TRUE(g_calls[0].measuring);
    for (const Call& c : g_calls) {
        EXPECT_EQ(c.codePage, 65001u);
        EXPECT_EQ(c.flags, 0u);
        EXPECT_EQ(c.inputLength, 3);
        EXPECT_FALSE(c.defaultCharGiven);
    }

    g_calls.clear();
    Cp1252ToWide("\x80z");
    ASSERT_EQ(g_calls.size(), 2u);
    for (const Call& c : g_calls) {
        EXPECT_EQ(c.codePage, 1252u);
        EXPECT_EQ(c.flags, 0u);
        EXPECT_EQ(c.inputLength, 2);
    }
}

// --- UTF-8 <-> UTF-16 -------------------------------------------------------------

TEST(Utf8, AsciiAndMultibyte) {
    EXPECT_EQ(Utf8ToWide("Veltrune"), L"Veltrune");
    EXPECT_EQ(Utf8ToWide("caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80"), L"caf\u00e9 \u4e2d \U0001F600");
    EXPECT_EQ(WideToUtf8(L"caf\u00e9 \u4e2d \U0001F600"), "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80");
}

TEST(Utf8, NulBytesSurviveBothWays) {
    const std::string narrow = "\0a\0\0b\xC3\xA9\0"s;
    const std::wstring wide = L"\0a\0\0b\u00e9\0"s;
    EXPECT_EQ(Utf8ToWide(narrow), wide);
    EXPECT_EQ(WideToUtf8(wide), narrow);
    EXPECT_EQ(Utf8ToWide("\0"s), L"\0"s);
    EXPECT_EQ(WideToUtf8(L"\0"s), "\0"s);
}

TEST(Utf8, InvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(Utf8ToWide("\xFF"), L"\uFFFD");
    EXPECT_EQ(Utf8ToWide("a\x80z"), L"a\uFFFDz");
    EXPECT_EQ(Utf8ToWide("ok\xC3"), L"ok\uFFFD");  // cut sequence at the end
    EXPECT_EQ(Utf8ToWide("\xC3z"), L"\uFFFDz");    // lead byte without continuation
    // The valid text around a fault is kept.
    const std::wstring mixed = Utf8ToWide("\xC3\xA9\xFE\xE4\xB8\xAD");
    EXPECT_EQ(mixed, L"\u00e9\uFFFD\u4e2d");
}

TEST(Utf8, LoneSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(WideToUtf8(L"\xD800"), "\xEF\xBF\xBD");
    EXPECT_EQ(WideToUtf8(L"a\xDC00z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(WideToUtf8(L"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // reversed pair
    EXPECT_EQ(WideToUtf8(L"x\xD83D"), "x\xEF\xBF\xBD");                  // high surrogate at the end
    EXPECT_EQ(WideToUtf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");          // a real pair
}

TEST(Utf8, EveryBmpCharacterRoundTrips) {
    std::wstring all;
    for (wchar_t c = 1; c != 0; ++c) {
        if (c < 0xD800 || c > 0xDFFF) all += c;
    }
    EXPECT_EQ(Utf8ToWide(WideToUtf8(all)), all);
}

TEST(Utf8, LongText) {
    std::string big;
    for (int i = 0; i < 100000; ++i) big += "\xE2\x82\xAC";
    const std::wstring wide = Utf8ToWide(big);
    EXPECT_EQ(wide, std::wstring(100000, L'\u20ac'));
    EXPECT_EQ(WideToUtf8(wide), big);
}

// --- Windows-1252 -------------------------------------------------------------------

TEST(Cp1252, AsciiAndLatin1Range) {
    EXPECT_EQ(Cp1252ToWide("Width=1920"), L"Width=1920");
    std::string high;
    std::wstring expected;
    for (int c = 0xA0; c <= 0xFF; ++c) {
        high += static_cast<char>(c);
        expected += static_cast<wchar_t>(c);
    }
    EXPECT_EQ(Cp1252ToWide(high), expected);
}

TEST(Cp1252, Bytes80To9FMapToTheirLetters) {
    // Windows-1252's own table; the five unassigned bytes map to the C1
    // control of the same number, as Windows does.
    const wchar_t table[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                               0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                               0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    for (int c = 0x80; c <= 0x9F; ++c) {
        EXPECT_EQ(Cp1252ToWide(std::string(1, static_cast<char>(c))), std::wstring(1, table[c - 0x80]))
            << "byte 0x" << std::hex << c;
    }
    EXPECT_EQ(Cp1252ToWide("\x80 \x8A\x99"), L"\u20ac \u0160\u2122");
}

TEST(Cp1252, NulBytesSurvive) { EXPECT_EQ(Cp1252ToWide("a\0\xE9"s), L"a\0\u00e9"s); }

// --- TrimBlanks ------------------------------------------------------------------------

TEST(Trim, NarrowRemovesOnlyTheFourBlanksAtTheEnds) {
    EXPECT_EQ(TrimBlanks(std::string(" \t\r\n a b \t\r\n ")), "a b");
    EXPECT_EQ(TrimBlanks(std::string("x")), "x");
    EXPECT_EQ(TrimBlanks(std::string("")), "");
    EXPECT_EQ(TrimBlanks(std::string(" \t\r\n")), "");
    EXPECT_EQ(TrimBlanks(std::string("a \t\r\n b")), "a \t\r\n b");
    EXPECT_EQ(TrimBlanks(std::string("\va\f")), "\va\f");
    EXPECT_EQ(TrimBlanks(std::string("\0 a \0"s)), "\0 a \0"s);
    EXPECT_EQ(TrimBlanks(std::string("x\xC2\xA0")), "x\xC2\xA0");  // UTF-8 non-breaking space stays
}

TEST(Trim, WideRemovesOnlyTheFourBlanksAtTheEnds) {
    EXPECT_EQ(TrimBlanks(std::wstring(L" \t\r\n a b \t\r\n ")), L"a b");
    EXPECT_EQ(TrimBlanks(std::wstring(L"")), L"");
    EXPECT_EQ(TrimBlanks(std::wstring(L"\n\n\t  \r")), L"");
    EXPECT_EQ(TrimBlanks(std::wstring(L"x\u00A0")), L"x\u00A0");
    EXPECT_EQ(TrimBlanks(std::wstring(L"\u00A0x")), L"\u00A0x");
    EXPECT_EQ(TrimBlanks(std::wstring(L"\u3000x\u2003")), L"\u3000x\u2003");
    EXPECT_EQ(TrimBlanks(std::wstring(L"\va\f")), L"\va\f");
}

}  // namespace
}  // namespace vr

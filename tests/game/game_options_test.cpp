#include "game/game_options.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {
namespace {

using test::LogCapture;
using test::TempDir;

constexpr bool kLineFormat = false;
constexpr bool kIniFormat = true;

void ExpectOptions(const GameOptions& o, int32_t detail, int32_t distant, int32_t view, int32_t shadow, bool fullscreen,
                   int32_t resW, int32_t resH) {
    EXPECT_EQ(o.detail, detail);
    EXPECT_EQ(o.distant, distant);
    EXPECT_EQ(o.view, view);
    EXPECT_EQ(o.shadow, shadow);
    EXPECT_EQ(o.fullscreen, fullscreen);
    EXPECT_EQ(o.resW, resW);
    EXPECT_EQ(o.resH, resH);
}

GameOptions Options(int32_t detail, int32_t distant, int32_t view, int32_t shadow, bool fullscreen, int32_t resW,
                    int32_t resH) {
    GameOptions o;
    o.detail = detail;
    o.distant = distant;
    o.view = view;
    o.shadow = shadow;
    o.fullscreen = fullscreen;
    o.resW = resW;
    o.resH = resH;
    return o;
}

std::wstring IniText(const std::wstring& path, const wchar_t* key) {
    wchar_t buffer[256];
    const DWORD n = GetPrivateProfileStringW(L"option", key, L"<absent>", buffer, 256, path.c_str());
    return std::wstring(buffer, n);
}

TEST(ReadWholeFileTest, ReturnsEveryByteOrFalseWhenUnopenable) {
    TempDir dir;
    std::string big(20000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    dir.Write(L"big.bin", big);
    std::string out = "stale";
    ASSERT_TRUE(ReadWholeFile(dir.Join(L"big.bin"), out));
    EXPECT_EQ(out, big);  // several 8 KiB blocks, NUL bytes included

    dir.Write(L"empty.bin", "");
    ASSERT_TRUE(ReadWholeFile(dir.Join(L"empty.bin"), out));
    EXPECT_TRUE(out.empty());

    out = "kept";
    EXPECT_FALSE(ReadWholeFile(dir.Join(L"missing.bin"), out));
    EXPECT_EQ(out, "kept");
}

TEST(LineFormatTest, LoadMatchesKeysIgnoringCaseAndTakesTheLastLine) {
    TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    dir.Write(L"Settings.ini", "Detail 3\nresolution 1280 720\n");
    ExpectOptions(LoadGameOptions(path, kLineFormat), 3, 2, 2, 2, false, 1280, 720);

    dir.Write(L"Settings.ini",
              "; options\r\n"
              "  DISTANT\t7 extra\r\n"
              "shadow 1\r\n"
              "SHADOW 4\r\n"
              "fullscreen 5\r\n"
              "view -1\r\n"
              "unknown 99\r\n"
              "\r\n"
              "RESOLUTION 1920 1080");  // no final line end
    ExpectOptions(LoadGameOptions(path, kLineFormat), 2, 7, -1, 4, true, 1920, 1080);

    dir.Write(L"Settings.ini", "fullscreen 1\nfullscreen 0\n");
    EXPECT_FALSE(LoadGameOptions(path, kLineFormat).fullscreen);
}

// Values that are not plain integers get whatever the wide stream's integer
// extraction stores: 0 for a field that is not a number, the limit on
// overflow, and nothing at all (the default stays) when the line ends before
// the value. Recorded here so a change of library shows up.
TEST(LineFormatTest, MalformedValuesFollowStreamExtraction) {
    TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    dir.Write(L"Settings.ini", "detail abc\nview\ndistant 12abc\nshadow 99999999999\nresolution 1280\n");
    ExpectOptions(LoadGameOptions(path, kLineFormat), 0, 12, 2, 2147483647, false, 1280, 768);
    dir.Write(L"Settings.ini", "resolution x 900\nfullscreen yes\n");
    ExpectOptions(LoadGameOptions(path, kLineFormat), 2, 2, 2, 2, false, 0, 768);
}

TEST(LineFormatTest, MissingOrUnreadableFileLoadsDefaults) {
    TempDir dir;
    ExpectOptions(LoadGameOptions(dir.Join(L"none.ini"), kLineFormat), 2, 2, 2, 2, false, 1024, 768);
    dir.MakeDir(L"folder.ini");
    ExpectOptions(LoadGameOptions(dir.Join(L"folder.ini"), kLineFormat), 2, 2, 2, 2, false, 1024, 768);
}

TEST(LineFormatTest, SaveRewritesOnlyKnownLinesAndEndsEveryLineWithCrLf) {
    TempDir dir;
    dir.Write(L"Settings.ini",
              "# Game options\n"
              "Detail 3 ; the detail level\r\n"
              "  view 4 5 6\n"
              "name caf\xE9 \x80 \xFF\n"
              "odd \x81\x8D\x8F\x90\x9D\n"
              "\n"
              "VIEW 9\n"
              "fullscreen 0\r\n"
              "resolution 800 600 60\n"
              "trailing   \r\n"
              "distant 2");
    LogCapture log;
    ASSERT_TRUE(SaveGameOptions(dir.Join(L"Settings.ini"), Options(1, -5, 6, 3, true, -1280, 720), kLineFormat));
    // No shadow line existed, so none is added.
    EXPECT_EQ(dir.Read(L"Settings.ini"),
              "# Game options\r\n"
              "detail 1\r\n"
              "view 6\r\n"
              "name caf\xE9 \x80 \xFF\r\n"
              "odd \x81\x8D\x8F\x90\x9D\r\n"
              "\r\n"
              "view 6\r\n"
              "fullscreen 1\r\n"
              "resolution -1280 720\r\n"
              "trailing   \r\n"
              "distant -5\r\n");
    EXPECT_TRUE(log.Lines().empty());
}

TEST(LineFormatTest, RepeatedSavesAreStableAndRoundTrip) {
    TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    dir.Write(L"Settings.ini",
              "detail 2\r\ndistant 2\r\nview 2\r\nshadow 2\r\nfullscreen 0\r\nresolution 1024 768\r\n");
    const GameOptions chosen = Options(0, 1, 3, 4, true, 1600, 900);
    ASSERT_TRUE(SaveGameOptions(path, chosen, kLineFormat));
    const std::string once = dir.Read(L"Settings.ini");
    ASSERT_TRUE(SaveGameOptions(path, chosen, kLineFormat));
    EXPECT_EQ(dir.Read(L"Settings.ini"), once);     // no empty line creeps in
    EXPECT_FALSE(dir.Exists(L"Settings.ini.new"));  // the replacement copy took the file's place
    EXPECT_EQ(once, "detail 0\r\ndistant 1\r\nview 3\r\nshadow 4\r\nfullscreen 1\r\nresolution 1600 900\r\n");
    ExpectOptions(LoadGameOptions(path, kLineFormat), 0, 1, 3, 4, true, 1600, 900);

    dir.Write(L"empty.ini", "");
    EXPECT_TRUE(SaveGameOptions(dir.Join(L"empty.ini"), chosen, kLineFormat));
    EXPECT_EQ(dir.Read(L"empty.ini"), "");
}

TEST(LineFormatTest, SaveWithoutAFileLogsAndCreatesNothing) {
    TempDir dir;
    LogCapture log;
    EXPECT_FALSE(SaveGameOptions(dir.Join(L"Config\\Settings.ini"), GameOptions{}, kLineFormat));
    EXPECT_FALSE(SaveGameOptions(dir.Join(L"Settings.ini"), GameOptions{}, kLineFormat));
    EXPECT_FALSE(dir.Exists(L"Settings.ini"));
    EXPECT_FALSE(dir.Exists(L"Config"));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"GameConfig: game config file not found on save",
                                                     "GameConfig: game config file not found on save"}));
}

TEST(LineFormatTest, SaveOverAFileThatCannotBeWrittenFailsQuietly) {
    TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    dir.Write(L"Settings.ini", "detail 2\r\n");
    // Another reader that denies writers: the file stays readable, not writable.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    LogCapture log;
    EXPECT_FALSE(SaveGameOptions(path, Options(5, 2, 2, 2, false, 1024, 768), kLineFormat));
    CloseHandle(reader);
    EXPECT_EQ(dir.Read(L"Settings.ini"), "detail 2\r\n");
    EXPECT_FALSE(dir.Exists(L"Settings.ini.new"));  // no half-written copy left behind
    EXPECT_TRUE(log.Lines().empty());
}

TEST(LineFormatTest, AReadThatFailsPartWayStopsTheSaveButNotTheLoad) {
    TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    // The known keys first, then more than one read block of other lines.
    std::string text = "detail 4\r\nresolution 1280 720\r\n";
    while (text.size() < 20000) text += "comment line that the game keeps\r\n";
    text += "shadow 3\r\n";
    dir.Write(L"Settings.ini", text);
    // Wine does not fail reads on another handle's lock, so the second block
    // read fails here the way a dropped network share or a bad sector would.
    int calls = 0;
    const ReadBlockFn failingSecondRead = [&calls](void* file, char* buffer, uint32_t size, uint32_t& got) {
        if (++calls == 2) {
            SetLastError(ERROR_READ_FAULT);
            return false;
        }
        DWORD n = 0;
        const BOOL ok = ReadFile(file, buffer, size, &n, nullptr);
        got = n;
        return ok != FALSE;
    };
    LogCapture log;
    EXPECT_FALSE(SaveGameOptions(path, Options(1, 1, 1, 1, true, 800, 600), kLineFormat, failingSecondRead));
    EXPECT_EQ(dir.Read(L"Settings.ini"), text);
    EXPECT_FALSE(dir.Exists(L"Settings.ini.new"));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"GameConfig: could not read " + WideToUtf8(path) +
                                                     " to the end (err 30); settings not saved"}));

    // Loading keeps what it could read: the bytes before the failure.
    calls = 0;
    std::string got;
    bool complete = true;
    EXPECT_TRUE(ReadWholeFile(path, got, &complete, failingSecondRead));
    EXPECT_FALSE(complete);
    EXPECT_EQ(got, text.substr(0, 8192));
    calls = 10;
    EXPECT_TRUE(ReadWholeFile(path, got, &complete, failingSecondRead));
    EXPECT_TRUE(complete);
    EXPECT_EQ(got, text);
}

TEST(IniFormatTest, MissingFileLoadsDefaultsAndSaveCreatesTheSection) {
    TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    ExpectOptions(LoadGameOptions(path, kIniFormat), 2, 2, 2, 2, false, 1024, 768);
    EXPECT_FALSE(dir.Exists(L"Settings.ini"));

    EXPECT_TRUE(SaveGameOptions(path, Options(3, 1, -4, 0, true, -1280, 720), kIniFormat));
    ASSERT_TRUE(dir.Exists(L"Settings.ini"));
    EXPECT_EQ(IniText(path, L"detail"), L"3");
    EXPECT_EQ(IniText(path, L"distant"), L"1");
    EXPECT_EQ(IniText(path, L"view"), L"-4");
    EXPECT_EQ(IniText(path, L"shadow"), L"0");
    EXPECT_EQ(IniText(path, L"fullscreen"), L"1");
    EXPECT_EQ(IniText(path, L"resolution"), L"-1280 720");
    ExpectOptions(LoadGameOptions(path, kIniFormat), 3, 1, -4, 0, true, -1280, 720);
}

TEST(IniFormatTest, LoadReadsHandWrittenValuesAndSaveKeepsOtherEntries) {
    TempDir dir;
    const std::wstring path = dir.Join(L"Settings.ini");
    dir.Write(L"Settings.ini",
              "[sound]\r\nvolume=80\r\n"
              "[Option]\r\nDetail=4\r\nresolution=1600 900\r\nfullscreen=7\r\nlanguage=fr\r\n");
    ExpectOptions(LoadGameOptions(path, kIniFormat), 4, 2, 2, 2, true, 1600, 900);

    EXPECT_TRUE(SaveGameOptions(path, Options(1, 2, 3, 4, false, 800, 600), kIniFormat));
    ExpectOptions(LoadGameOptions(path, kIniFormat), 1, 2, 3, 4, false, 800, 600);
    EXPECT_EQ(IniText(path, L"language"), L"fr");
    wchar_t volume[16];
    GetPrivateProfileStringW(L"sound", L"volume", L"", volume, 16, path.c_str());
    EXPECT_STREQ(volume, L"80");
}

TEST(IniFormatTest, SaveReportsSuccessEvenWhenNothingCanBeWritten) {
    TempDir dir;
    // The profile functions do not create folders; the result is not looked at.
    EXPECT_TRUE(SaveGameOptions(dir.Join(L"absent\\Settings.ini"), GameOptions{}, kIniFormat));
    EXPECT_FALSE(dir.Exists(L"absent"));
}

}  // namespace
}  // namespace vr

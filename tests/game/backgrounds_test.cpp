#include "game/backgrounds.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {
namespace {

using test::LogCapture;
using test::TempDir;

using Names = std::vector<std::string>;
using Lines = std::vector<std::string>;

TEST(BackgroundsTest, OnlyVideosWithAPictureAreListed) {
    LogCapture log;
    TempDir dir;
    dir.Write(L"Background1.mp4", "v");
    dir.Write(L"Background1.png", "p");
    dir.Write(L"Background2.mp4", "v");
    dir.Write(L"Intro.mp4", "v");        // not a background
    dir.Write(L"Background9.png", "p");  // a picture without its video
    EXPECT_EQ(ListBackgrounds(dir.path()), (Names{"Background1"}));
    EXPECT_EQ(log.Lines(),
              (Lines{"Backgrounds: skipping Background2.mp4 (no matching .png)", "Backgrounds: 1 usable pair(s)"}));
}

TEST(BackgroundsTest, SeveralPairsAreAllListedAndNamesArriveAsUtf8) {
    LogCapture log;
    TempDir dir;
    for (const wchar_t* base : {L"Background", L"Background2", L"Background_Nuit\u00e9t\u00e9", L"background3"}) {
        dir.Write(std::wstring(base) + L".mp4", "v");
        dir.Write(std::wstring(base) + L".png", "p");
    }
    Names names = ListBackgrounds(dir.path() + L"\\");  // a trailing backslash is not doubled
    std::sort(names.begin(), names.end());              // search order is the file system's
    EXPECT_EQ(names, (Names{"Background", "Background2", "Background_Nuit\xC3\xA9t\xC3\xA9", "background3"}));
    EXPECT_EQ(log.Lines(), (Lines{"Backgrounds: 4 usable pair(s)"}));
}

TEST(BackgroundsTest, DirectoriesNeverCountAsVideoOrPicture) {
    LogCapture log;
    TempDir dir;
    dir.MakeDir(L"Background3.mp4");
    dir.Write(L"Background3.png", "p");
    dir.Write(L"Background4.mp4", "v");
    dir.MakeDir(L"Background4.png");
    EXPECT_TRUE(ListBackgrounds(dir.path()).empty());
    // The search found entries, so this is not the not-found case.
    EXPECT_EQ(log.Lines(),
              (Lines{"Backgrounds: skipping Background4.mp4 (no matching .png)", "Backgrounds: 0 usable pair(s)"}));
}

TEST(BackgroundsTest, MissingOrEmptyFolderLogsNotFoundWithTheFolder) {
    LogCapture log;
    TempDir dir;
    dir.Write(L"Other.mp4", "v");
    EXPECT_TRUE(ListBackgrounds(dir.path()).empty());
    EXPECT_TRUE(ListBackgrounds(dir.Join(L"missing")).empty());
    const std::string folder = WideToUtf8(dir.path());
    EXPECT_EQ(log.Lines(), (Lines{"Backgrounds: no Background*.mp4 found in " + folder + "\\",
                                  "Backgrounds: no Background*.mp4 found in " + folder + "\\missing\\"}));
}

}  // namespace
}  // namespace vr

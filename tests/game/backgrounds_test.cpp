#include "game/backgrounds.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {
namespace {

TEST(BackgroundsTest, OnlyVideoFilesWithAPictureFileAreListed) {
    test::TempDir dir;
    for (const wchar_t* name : {L"Background.mp4", L"Background.png", L"Background_Nuit\u00e9t\u00e9.mp4",
                                L"Background_Nuit\u00e9t\u00e9.png", L"background3.mp4", L"background3.png",
                                L"Background2.mp4", L"Intro.mp4", L"Intro.png", L"Background9.png",
                                L"Background4.mp4"}) {
        dir.Write(name, "x");
    }
    dir.MakeDir(L"Background4.png");  // folders are neither video nor picture
    dir.MakeDir(L"Background5.mp4");
    dir.Write(L"Background5.png", "x");
    std::vector<std::string> names = ListBackgrounds(dir.path() + L"\\");
    std::sort(names.begin(), names.end());  // search order is the file system's
    EXPECT_EQ(names, (std::vector<std::string>{"Background", "Background_Nuit\xC3\xA9t\xC3\xA9", "background3"}));

    test::LogCapture log;
    EXPECT_TRUE(ListBackgrounds(dir.Join(L"missing")).empty());
    EXPECT_TRUE(log.Has("Backgrounds: no Background*.mp4 found in " + WideToUtf8(dir.Join(L"missing\\"))));
}

}  // namespace
}  // namespace vr

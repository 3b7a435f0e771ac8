#include "game/resolutions.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>

namespace vr {
namespace {

DisplayModeSource Modes(std::vector<Resolution> modes, uint32_t* calls = nullptr) {
    return [modes, calls](uint32_t index, int32_t& width, int32_t& height) {
        if (calls) ++*calls;
        if (index >= modes.size()) return false;
        width = modes[index].first;
        height = modes[index].second;
        return true;
    };
}

TEST(ResolutionsTest, RepeatsCollapseAtFirstOccurrenceAndSmallModesAreDropped) {
    // 800x600 at two refresh rates and again at another depth.
    EXPECT_EQ(ListResolutions(Modes({{640, 480}, {800, 600}, {800, 600}, {1024, 768}, {800, 600}})),
              (std::vector<Resolution>{{800, 600}, {1024, 768}}));
    EXPECT_EQ(ListResolutions(Modes({{1280, 599}, {799, 1024}, {800, 600}})), (std::vector<Resolution>{{800, 600}}));
    // The driver's order is kept, not sorted.
    EXPECT_EQ(ListResolutions(Modes({{1920, 1080}, {1024, 768}, {1920, 1080}, {1280, 720}})),
              (std::vector<Resolution>{{1920, 1080}, {1024, 768}, {1280, 720}}));
}

TEST(ResolutionsTest, EnumerationStopsAtTheFirstFailure) {
    uint32_t calls = 0;
    EXPECT_TRUE(ListResolutions(Modes({}, &calls)).empty());
    EXPECT_EQ(calls, 1u);
    calls = 0;
    EXPECT_EQ(ListResolutions(Modes({{800, 600}, {1024, 768}}, &calls)).size(), 2u);
    EXPECT_EQ(calls, 3u);
}

TEST(ResolutionsTest, RealDisplayModesAreDistinctLargeEnoughAndIncludeTheCurrentMode) {
    const std::vector<Resolution> list = ListResolutions();
    ASSERT_FALSE(list.empty());  // the test display is 1920x1080
    std::set<Resolution> distinct(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), list.size());
    for (const Resolution& r : list) {
        EXPECT_GE(r.first, 800);
        EXPECT_GE(r.second, 600);
    }
    DEVMODEW current{};
    current.dmSize = sizeof current;
    ASSERT_TRUE(EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &current));
    const Resolution now{static_cast<int32_t>(current.dmPelsWidth), static_cast<int32_t>(current.dmPelsHeight)};
    EXPECT_NE(std::find(list.begin(), list.end(), now), list.end());

    // Every qualifying mode the driver reports is listed, in the order of its
    // first report.
    std::vector<Resolution> raw;
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    for (DWORD i = 0; i < 10000 && EnumDisplaySettingsW(nullptr, i, &mode); ++i) {
        raw.emplace_back(static_cast<int32_t>(mode.dmPelsWidth), static_cast<int32_t>(mode.dmPelsHeight));
    }
    ptrdiff_t previous = -1;
    for (const Resolution& r : list) {
        const ptrdiff_t first = std::find(raw.begin(), raw.end(), r) - raw.begin();
        ASSERT_LT(first, static_cast<ptrdiff_t>(raw.size()));
        EXPECT_GT(first, previous);
        previous = first;
    }
    for (const Resolution& r : raw) {
        if (r.first >= 800 && r.second >= 600) {
            EXPECT_TRUE(distinct.count(r));
        }
    }
}

}  // namespace
}  // namespace vr

#include "game/resolutions.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>

namespace vr {
namespace {

DisplayModeSource Modes(std::vector<Resolution> modes, uint32_t* calls) {
    return [modes, calls](uint32_t index, int32_t& width, int32_t& height) {
        ++*calls;
        if (index >= modes.size()) return false;
        width = modes[index].first;
        height = modes[index].second;
        return true;
    };
}

TEST(ResolutionsTest, ListsDistinctModesOfAtLeast800x600InDriverOrder) {
    uint32_t calls = 0;
    // 800x600 at two refresh rates and again at another depth.
    EXPECT_EQ(ListResolutions(Modes({{1920, 1080}, {640, 480}, {800, 600}, {800, 600}, {1280, 599}, {799, 1024},
                                     {1024, 768}, {800, 600}},
                                    &calls)),
              (std::vector<Resolution>{{1920, 1080}, {800, 600}, {1024, 768}}));
    EXPECT_EQ(calls, 9u);  // stops at the first failure

    // The display Wine reports for Xvfb: the current mode is among them.
    const std::vector<Resolution> real = ListResolutions();
    DEVMODEW current{};
    current.dmSize = sizeof current;
    ASSERT_TRUE(EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &current));
    const Resolution now{int32_t(current.dmPelsWidth), int32_t(current.dmPelsHeight)};
    EXPECT_NE(std::find(real.begin(), real.end(), now), real.end());
    EXPECT_EQ(std::set<Resolution>(real.begin(), real.end()).size(), real.size());
}

}  // namespace
}  // namespace vr

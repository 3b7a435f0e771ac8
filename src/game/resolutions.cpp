#include "game/resolutions.h"

#include <windows.h>

#include <set>

namespace vr {
namespace {

constexpr int32_t kMinWidth = 800;
constexpr int32_t kMinHeight = 600;

}  // namespace

bool CurrentDisplayMode(uint32_t index, int32_t& width, int32_t& height) {
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    mode.dmDriverExtra = 0;
    if (!EnumDisplaySettingsW(nullptr, index, &mode)) return false;
    width = static_cast<int32_t>(mode.dmPelsWidth);
    height = static_cast<int32_t>(mode.dmPelsHeight);
    return true;
}

std::vector<Resolution> ListResolutions() { return ListResolutions(CurrentDisplayMode); }

std::vector<Resolution> ListResolutions(const DisplayModeSource& source) {
    // The set only drops repeats (modes differing in depth or refresh rate);
    // the list keeps the driver's order.
    std::vector<Resolution> list;
    std::set<Resolution> seen;
    int32_t width = 0;
    int32_t height = 0;
    for (uint32_t index = 0; source(index, width, height); ++index) {
        if (width < kMinWidth || height < kMinHeight) continue;
        if (seen.insert({width, height}).second) list.emplace_back(width, height);
    }
    return list;
}

}  // namespace vr

#pragma once
// Screen resolutions of the current display, at least 800x600, distinct, in
// the order the driver enumerates them.
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace vr {

using Resolution = std::pair<int32_t, int32_t>;  // width, height

// Asks for mode `index`; false ends the enumeration.
using DisplayModeSource = std::function<bool(uint32_t index, int32_t& width, int32_t& height)>;

// Mode `index` of the current display device (EnumDisplaySettingsW).
bool CurrentDisplayMode(uint32_t index, int32_t& width, int32_t& height);

// ListResolutions(CurrentDisplayMode).
std::vector<Resolution> ListResolutions();
std::vector<Resolution> ListResolutions(const DisplayModeSource& source);

}  // namespace vr

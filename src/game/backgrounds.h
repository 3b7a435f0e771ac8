#pragma once
// Animated backgrounds: Background*.mp4 videos in the asset folder that have
// a .png of the same base name beside them.
#include <string>
#include <vector>

namespace vr {

// Base names (video name without ".mp4") as UTF-8, in directory-search
// order. Never fails; logs what it skipped and how many pairs it found.
std::vector<std::string> ListBackgrounds(const std::wstring& folder);

}  // namespace vr

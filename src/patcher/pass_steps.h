#pragma once
// Folder steps of a pass. Internal to the patcher library.
#include <cstdint>
#include <string>

#include "patcher/patcher.h"

namespace vr::pass {

// Creates a folder with its parents, or the folder part of a file path.
void MakeFolder(const std::wstring& folder);
void MakeParentFolder(const std::wstring& path);

}  // namespace vr::pass

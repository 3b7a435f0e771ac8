#pragma once
// The per-file steps of a pass that the in-order and the parallel downloads
// share. Internal to the patcher library.
#include <cstdint>
#include <string>

#include "patcher/patcher.h"

namespace vr::pass {

// The pass result for a download's final status.
PatchResult ResultOf(const Patcher& p, HttpStatus status);
// Sets the listed modification time, which makes the file current.
void StampFile(const std::wstring& path, int64_t mtime);
// Creates a folder with its parents, or the folder part of a file path.
void MakeFolder(const std::wstring& folder);
void MakeParentFolder(const std::wstring& path);

}  // namespace vr::pass

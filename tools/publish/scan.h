#pragma once
// Reading the game folder: every folder and regular file below it, with the
// names checked before anything is written anywhere.
#include <cstdint>
#include <string>
#include <vector>

#include "fs_util.h"
#include "list_format.h"

namespace vr::publish {

struct SourceFile {
    PathParts parts;
    fs::path path;  // where to read it
    uint64_t size = 0;
    int64_t mtimeNs = 0;
};

struct SourceTree {
    std::vector<PathParts> dirs;    // sorted
    std::vector<SourceFile> files;  // sorted by parts
};

// Walks root. Links are followed only while they stay inside root (on
// Windows, links and junctions are refused). Every name that cannot be
// published appends "<path>: <reason>" to problems.
SourceTree ScanTree(const fs::path& root, std::vector<std::string>& problems);

// Names that would land on one file on Windows, and objects that would
// collide with folders or with the server files in reservedRootNames.
void CheckCollisions(const SourceTree& tree, const std::vector<std::string>& reservedRootNames,
                     std::vector<std::string>& problems);

}  // namespace vr::publish

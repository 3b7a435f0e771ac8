#pragma once
// What the last publish wrote, kept in the output folder so that the next run
// recompresses only files whose size or time changed, and only when the
// object it made is still there as it left it; and which chunk indexes the
// last lists named, so that pruning spares what players may still fetch.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fs_util.h"

namespace vr::publish {

struct ObjectRecord {
    uint64_t size = 0;     // source
    int64_t mtimeNs = 0;   // source
    std::string sha256;    // source content, lower-case hex
    uint64_t objSize = 0;  // the whole-file object as written; 0: none (published as chunks only)
    int64_t objMtimeNs = 0;
    std::string indexSha256;  // the chunk index of a chunked file; empty otherwise
};

// Keyed by the object's path relative to the output folder ('/' separated).
using PublishState = std::map<std::string, ObjectRecord>;

// One written list: its serial and the chunk indexes it names (sorted).
struct ListedIndexes {
    int64_t serial = 0;
    std::vector<std::string> indexes;
};

struct SavedState {
    PublishState objects;
    std::vector<ListedIndexes> lists;  // oldest first, the current list last
};

inline constexpr const char* kStateFileName = ".veltrune-publish-state";

SavedState LoadState(const fs::path& file);
bool SaveState(const fs::path& file, const SavedState& state, std::string& error);

}  // namespace vr::publish

#pragma once
// What the last publish wrote, kept in the output folder so that the next run
// recompresses only files whose size or time changed, and only when the
// object it made is still there as it left it.
#include <cstdint>
#include <map>
#include <string>

#include "fs_util.h"

namespace vr::publish {

struct ObjectRecord {
    uint64_t size = 0;     // source
    int64_t mtimeNs = 0;   // source
    std::string sha256;    // source content, lower-case hex
    uint64_t objSize = 0;  // the object as written
    int64_t objMtimeNs = 0;
};

// Keyed by the object's path relative to the output folder ('/' separated).
using PublishState = std::map<std::string, ObjectRecord>;

inline constexpr const char* kStateFileName = ".veltrune-publish-state";

PublishState LoadState(const fs::path& file);
bool SaveState(const fs::path& file, const PublishState& state, std::string& error);

}  // namespace vr::publish

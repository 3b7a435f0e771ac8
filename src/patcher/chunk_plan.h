#pragma once
// The local half of updating a chunked file: find every chunk of the new
// version that the player already has, in a staged copy an earlier pass left
// or in the old copy of the file, and put it in place in the staged copy.
// Each chunk is proven by its SHA-256 before it counts; what remains is what
// must cross the wire.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "patcher/chunk_index.h"

namespace vr {

class StagedFile;

struct ChunkPlan {
    // Distinct chunks to download: for each, every index entry it fills.
    std::vector<std::vector<size_t>> missing;
    uint64_t missingBytes = 0;  // one copy of each distinct missing chunk
    uint64_t keptBytes = 0;     // already in the staged copy
    uint64_t copiedBytes = 0;   // taken from the old copy of the file
    // Where the local work went, milliseconds (for the log and benchmarks):
    // proving the staged copy, and cutting, proving and copying the old one.
    uint64_t msStaged = 0, msScanOld = 0;
};

// `staged` is open; it is sized to the index's file size. `oldPath` is the
// file being replaced (may be missing). False with a write error when the
// staged copy cannot be written, or when cancelled (error 0).
bool PlanChunkedFile(const ChunkIndex& index, StagedFile& staged, const std::wstring& oldPath,
                     int64_t stagedSizeBefore, const std::atomic<bool>& cancel, ChunkPlan& plan,
                     uint32_t& writeError);

}  // namespace vr

#pragma once
// The chunk index of one published file and where chunked objects live on a
// patch server. Written by the publishing tool, read by the launcher; plain
// C++ so both build it.
//
// An index is UTF-8 text, stored like every object as one gzip member and
// named by the SHA-256 of its text:
//   veltrune-chunks 1
//   params <min> <avg> <max>          the chunker's sizes it was cut with
//   size <file size>
//   c <size> <sha256> <fast hash> <at> one line per chunk, in file order
// <at> is where the chunk's compressed data starts inside the file's
// whole-file object, or "-" when the tool wrote none. The tool ends the
// DEFLATE block and resets the dictionary at every chunk boundary of that
// object (a full flush), so any run of chunks can be fetched from it with one
// HTTP Range request and inflated on its own; the object stays a single
// ordinary gzip member for launchers that read it whole.
// The list names it with "#chunks <file sha256> <index sha256>", a line that
// launchers without chunking skip. Trust runs list -> index hash -> chunk
// hashes: every byte a launcher takes, fetched or found locally, is proven
// by a hash the signed list vouches for.
#include <cstdint>
#include <string>
#include <vector>

#include "patcher/chunker.h"

namespace vr {

struct ChunkEntry {
    uint64_t offset = 0;  // in the file
    uint32_t size = 0;
    std::string sha256;  // lower-case hex of the chunk's bytes
    uint64_t fast = 0;   // FastChunkHash of them
    int64_t wholeAt = -1;  // start of its DEFLATE data in the whole-file object; -1: none
};

struct ChunkIndex {
    ChunkParams params;
    uint64_t fileSize = 0;
    std::vector<ChunkEntry> chunks;  // in file order, offsets filled in
};

std::string FormatChunkIndex(const ChunkIndex& index);
// False with a reason when the text is not a well-formed index whose chunks
// add up to its size.
bool ParseChunkIndex(const std::string& text, ChunkIndex& index, std::string& why);

// Object paths relative to a server base, without the ".gz" every object
// gets: "chunks/ab/<sha256>" and "chunks/ix/<sha256>" ('/' separated).
std::string ChunkObjectPath(const std::string& sha256);
std::string IndexObjectPath(const std::string& sha256);
// The root folder of both; a game may not publish a folder of that name.
inline constexpr const char kChunkRootName[] = "chunks";

// "#chunks <file sha256> <index sha256>": true with both hashes (lower-case
// hex) when the line is one.
bool ParseChunksLine(const std::string& line, std::string& fileSha256, std::string& indexSha256);
std::string FormatChunksLine(const std::string& fileSha256, const std::string& indexSha256);

// 64 lower-case hex digits.
bool IsLowerHexSha256(const std::string& text);

// A staged copy lives beside its target under the target's name and this
// suffix until it is proven and replaces it. Lists may not name such files.
inline constexpr const char kStagedSuffix[] = ".veltrune-staged";
inline constexpr const wchar_t kStagedSuffixW[] = L".veltrune-staged";

}  // namespace vr

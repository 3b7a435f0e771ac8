#pragma once
// Content-defined chunking: cut points chosen by a rolling (gear) hash of the
// bytes themselves, so an insertion or deletion moves only the chunks around
// it and every other chunk keeps its bytes and its hash. The publishing tool
// and the launcher cut with this one code, so both find the same chunks.
// Plain C++: it builds for the launcher and for the tool on Linux.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace vr {

// Sizes in bytes. A cut falls after at least minSize bytes and at most
// maxSize; normalised chunking keeps most chunks near avgSize (a power of two).
struct ChunkParams {
    uint32_t minSize = 64u << 10;
    uint32_t avgSize = 256u << 10;
    uint32_t maxSize = 1u << 20;
};

// The parameters this build publishes with, chosen by measurement (the
// chunk-size sweep in the benchmarks document): finer chunks cost fewer
// bytes per change but a larger index; runs of chunks travel as ranges of
// the whole-file object, so their number costs few requests. A launcher cuts
// by what each index says instead.
inline constexpr ChunkParams kDefaultChunkParams{};
// Files below this size are published whole only: a few MiB cost less as one
// object than as an index and its chunks.
inline constexpr uint64_t kChunkThreshold = 16ull << 20;
// No index may ask for chunks larger than this (memory per transfer).
inline constexpr uint32_t kMaxChunkSize = 16u << 20;

bool ValidChunkParams(const ChunkParams& p);

// The length of the chunk that starts at data[0]. `size` bytes are there;
// unless they run to the end of the file, size must be at least maxSize.
size_t FindChunkEnd(const uint8_t* data, size_t size, const ChunkParams& p);

// A fast 64-bit hash of a chunk's bytes: the launcher finds candidate chunks
// in its old copy with it, then proves each with SHA-256 before using it.
uint64_t FastChunkHash(const uint8_t* data, size_t size);

// Cuts a stream into chunks, reading through `read` (fills up to `cap` bytes,
// returns the count, 0 at the end, -1 on a read error).
class StreamChunker {
public:
    using ReadFn = std::function<int64_t(uint8_t* dst, size_t cap)>;
    StreamChunker(const ChunkParams& params, ReadFn read);

    // The next chunk; its bytes stay valid until the next call. False at the
    // end of the stream or on a read error (Failed() tells which).
    bool Next(const uint8_t*& data, size_t& size);
    bool Failed() const { return failed; }
    // Offset in the stream of the chunk Next returned last.
    uint64_t Offset() const { return chunkOffset; }

private:
    bool Fill();

    ChunkParams params;
    ReadFn read;
    std::vector<uint8_t> buffer;
    size_t begin = 0;  // first byte not yet handed out
    size_t end = 0;    // one past the last byte read
    bool atEof = false;
    bool failed = false;
    uint64_t chunkOffset = 0;
    uint64_t nextOffset = 0;
};

}  // namespace vr

#pragma once
// Gzip members as the patch servers hold them: one member per object, no
// name or time in the header, so equal input gives equal bytes.
#include <atomic>
#include <cstdio>
#include <cstdint>
#include <string>

#include "fs_util.h"

namespace vr::publish {

struct GzipResult {
    bool ok = false;
    std::string error;
    uint64_t inSize = 0;   // bytes read from the source
    std::string sha256;    // SHA-256 of those bytes, lower-case hex
    uint64_t outSize = 0;  // bytes of the member
};

// One member written as its input arrives, for a caller that reads the
// source itself (the chunker shares that read).
class GzipWriter {
public:
    GzipWriter() = default;
    ~GzipWriter();
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;

    // Creates or replaces dst; callers give a temporary name.
    bool Open(const fs::path& dst, int level);
    bool Write(const void* data, size_t size);
    // Ends the DEFLATE block and resets the dictionary, so decoding can start
    // here; returns the member's size so far (where the next data begins), -1
    // on failure.
    int64_t FullFlush();
    // Ends the member and closes the file. False, here or before, with Error().
    bool Finish();
    const std::string& Error() const { return error_; }
    uint64_t OutSize() const { return outSize_; }

private:
    bool Deflate(const void* data, size_t size, int flush);
    void Close();

    struct Stream;
    Stream* z_ = nullptr;
    std::FILE* out_ = nullptr;
    fs::path dst_;
    std::string error_;
    uint64_t outSize_ = 0;
};

// Compresses src into dst (created or replaced in place; callers give a
// temporary name). `progress`, when set, grows by each block read.
GzipResult GzipFile(const fs::path& src, const fs::path& dst, int level, std::atomic<uint64_t>* progress);

std::string GzipBytes(const std::string& data, int level);

struct InflateResult {
    bool ok = false;
    std::string error;  // what is wrong with the member
    uint64_t size = 0;  // inflated bytes
    uint32_t crc = 0;
    std::string sha256;  // of the inflated bytes, lower-case hex
};

// Inflates one member completely, checking its trailer (CRC and length) and
// that nothing follows it. `out`, when set, receives the content.
InflateResult InflateFile(const fs::path& path, std::string* out = nullptr);
// Inflates the DEFLATE data in bytes [from, to) of a member's file (to < 0:
// to its end), starting at a full flush, as a launcher does with a range of
// a whole-file object. False with `error` when the bytes do not inflate.
bool InflateRange(const fs::path& path, uint64_t from, int64_t to, std::string& out, std::string& error);
InflateResult InflateBytes(const std::string& member, std::string* out = nullptr);

}  // namespace vr::publish

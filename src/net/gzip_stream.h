#pragma once
// Decodes one gzip member while it downloads: compressed blocks go in through
// Feed, decompressed runs come out through the sink as soon as they exist.
// Memory stays fixed (a 32 KiB window) whatever the size of the file.
#include <cstdint>
#include <memory>

#include "net/http.h"

namespace vr {

class GzipStream {
public:
    explicit GzipStream(ChunkFn sink);
    // DEFLATE data that starts at a full flush inside a member (no header):
    // a range of a larger object. The caller knows how many bytes to expect
    // and does not call Finish.
    static GzipStream Raw(ChunkFn sink);
    ~GzipStream();
    GzipStream(GzipStream&&) noexcept;
    GzipStream& operator=(GzipStream&&) noexcept;
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;

    // True when the bytes were accepted (also when only buffered, or ignored
    // after the end of the member); false on a fault, and for good after one.
    bool Feed(const uint8_t* data, uint64_t size);

    // Once, after the last Feed of a transfer that ended normally: true only
    // when the DEFLATE stream was complete.
    bool Finish();

    // True once bytes arrived beyond the member's DEFLATE data and its 8-byte
    // trailer: whatever follows is not part of the object, so the caller
    // stops reading there instead of taking a body that may never end.
    bool PastEnd() const;

    struct State;  // also kept for reuse by later streams

private:
    std::unique_ptr<State> state;
};

}  // namespace vr

#include "net/gzip_stream.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/log.h"

namespace vr {
namespace {

constexpr size_t kWindowSize = 32768;  // DEFLATE's largest back-reference distance

// Real headers are a few dozen bytes (an extra field tops out near 64 KiB).
// A name or comment that never ends would otherwise buffer the whole body.
constexpr size_t kMaxHeader = 1 << 20;

// CRC-32 and length after the DEFLATE data; read past, never checked.
constexpr uint64_t kTrailerBytes = 8;

constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;

enum class HeaderScan { Wait, Bad, Done };

// Finds where the DEFLATE data starts behind the member header. Waits (rather
// than failing) whenever a field runs past the bytes seen so far.
HeaderScan ScanHeader(const std::vector<uint8_t>& buf, size_t& start) {
    const size_t len = buf.size();
    if (len < 4) return HeaderScan::Wait;
    if (buf[0] != 0x1F || buf[1] != 0x8B || buf[2] != 0x08) return HeaderScan::Bad;
    if (len < 10) return HeaderScan::Wait;
    const uint8_t flags = buf[3];
    size_t pos = 10;
    if (flags & kFlagExtra) {
        if (len < 12) return HeaderScan::Wait;
        pos = 12 + (static_cast<size_t>(buf[10]) | static_cast<size_t>(buf[11]) << 8);
        if (pos > len) return HeaderScan::Wait;
    }
    for (uint8_t field : {kFlagName, kFlagComment}) {
        if (!(flags & field)) continue;
        if (pos >= len) return HeaderScan::Wait;
        auto zero = std::find(buf.begin() + static_cast<std::ptrdiff_t>(pos), buf.end(), 0);
        if (zero == buf.end()) return HeaderScan::Wait;
        pos = static_cast<size_t>(zero - buf.begin()) + 1;
    }
    // The header checksum is skipped, not verified: the DEFLATE data and the
    // list's sizes are what the patcher relies on.
    if (flags & kFlagHeaderCrc) {
        pos += 2;
        if (pos > len) return HeaderScan::Wait;
    }
    start = pos;
    return HeaderScan::Done;
}

}  // namespace

struct GzipStream::State {
    ChunkFn sink;
    z_stream zs{};
    bool zsReady = false;
    uint8_t dict[kWindowSize] = {};
    size_t dictPos = 0;
    std::vector<uint8_t> headerBuf;
    bool headerDone = false;
    bool finished = false;
    bool failed = false;
    uint64_t afterEnd = 0;  // bytes fed after the DEFLATE data ended

    ~State() {
        if (zsReady) inflateEnd(&zs);
    }

    // Back to the state of a fresh decoder, for a kept state's next stream.
    bool Restart() {
        if (!zsReady || inflateReset(&zs) != Z_OK) return false;
        dictPos = 0;
        headerBuf.clear();
        headerDone = false;
        finished = false;
        failed = false;
        afterEnd = 0;
        return true;
    }

    bool Fail(const char* line) {
        failed = true;
        if (line) LogLine(line);
        return false;
    }

    // Runs the raw inflater over the input, handing every run of output to the
    // sink straight out of the wrapping window. With moreInput false the input
    // has ended, so a stream that is still incomplete is a truncation.
    bool Inflate(const uint8_t* data, uint64_t size, bool moreInput) {
        uint64_t consumed = 0;
        for (;;) {
            const uint64_t left = size - consumed;
            zs.next_in = const_cast<Bytef*>(data ? data + consumed : nullptr);
            zs.avail_in = static_cast<uInt>(std::min<uint64_t>(left, UINT_MAX));
            const uInt inBefore = zs.avail_in;
            zs.next_out = dict + dictPos;
            zs.avail_out = static_cast<uInt>(kWindowSize - dictPos);
            const uInt room = zs.avail_out;
            const int rc = inflate(&zs, Z_NO_FLUSH);
            consumed += inBefore - zs.avail_in;
            const size_t produced = room - zs.avail_out;

            if (produced > 0) {
                if (!sink(dict + dictPos, produced)) return Fail(nullptr);
                dictPos = (dictPos + produced) % kWindowSize;
            }
            if (rc == Z_STREAM_END) {
                finished = true;
                afterEnd += size - consumed;
                return true;
            }
            // Z_BUF_ERROR only means "no progress possible": not a fault by itself.
            if (rc != Z_OK && rc != Z_BUF_ERROR) return Fail("Gzip: inflate failed");
            if (zs.avail_out == 0) continue;  // the window filled up: more output may be waiting
            if (consumed >= size) {
                if (!moreInput) return Fail("Gzip: inflate failed");
                return true;
            }
        }
    }
};

namespace {

// Decoder states of finished streams, kept for the next ones: each holds
// about 70 KiB in three blocks (the state with its output window, zlib's
// state, zlib's own window), and parallel downloads that allocated and freed
// them for every file left the heap growing with the files of a pass.
class SparePool {
public:
    std::unique_ptr<GzipStream::State> Take() {
        std::lock_guard<std::mutex> guard(lock);
        if (spare.empty()) return nullptr;
        std::unique_ptr<GzipStream::State> state = std::move(spare.back());
        spare.pop_back();
        return state;
    }
    // False when the pool is full; the caller then frees the state.
    bool Give(std::unique_ptr<GzipStream::State>& state) {
        std::lock_guard<std::mutex> guard(lock);
        if (spare.size() >= kMaxSpare) return false;
        spare.push_back(std::move(state));
        return true;
    }

private:
    // More than the 16 connections a pass may use at once is never needed.
    static constexpr size_t kMaxSpare = 16;
    std::mutex lock;
    std::vector<std::unique_ptr<GzipStream::State>> spare;
};

SparePool& Spares() {
    static SparePool* pool = new SparePool;  // never destroyed: streams may end during exit
    return *pool;
}

}  // namespace

GzipStream::GzipStream(ChunkFn sink) {
    state = Spares().Take();
    if (!state || !state->Restart()) {
        state = std::make_unique<State>();
        // -15: raw DEFLATE with a 32 KiB window; the gzip container is parsed here.
        if (inflateInit2(&state->zs, -15) != Z_OK) throw std::bad_alloc();
        state->zsReady = true;
    }
    state->sink = std::move(sink);
}

GzipStream GzipStream::Raw(ChunkFn sink) {
    GzipStream stream(std::move(sink));
    stream.state->headerDone = true;
    return stream;
}

GzipStream::~GzipStream() {
    if (!state) return;
    state->sink = nullptr;  // drops what the sink captured now, not when reused
    if (state->zsReady) static_cast<void>(Spares().Give(state));
}
GzipStream::GzipStream(GzipStream&&) noexcept = default;
GzipStream& GzipStream::operator=(GzipStream&&) noexcept = default;

bool GzipStream::Feed(const uint8_t* data, uint64_t size) {
    if (!state || state->failed) return false;
    if (state->finished) state->afterEnd += size;
    if (state->finished || size == 0) return true;
    if (state->headerDone) return state->Inflate(data, size, true);

    std::vector<uint8_t>& buf = state->headerBuf;
    buf.insert(buf.end(), data, data + size);
    size_t start = 0;
    switch (ScanHeader(buf, start)) {
        case HeaderScan::Wait:
            if (buf.size() <= kMaxHeader) return true;
            std::vector<uint8_t>().swap(buf);
            return state->Fail("Gzip: malformed header");
        case HeaderScan::Bad: std::vector<uint8_t>().swap(buf); return state->Fail("Gzip: malformed header");
        case HeaderScan::Done: break;
    }
    state->headerDone = true;
    const bool ok = state->Inflate(buf.data() + start, buf.size() - start, true);
    std::vector<uint8_t>().swap(buf);
    return ok;
}

bool GzipStream::PastEnd() const { return state && state->finished && state->afterEnd > kTrailerBytes; }

bool GzipStream::Finish() {
    if (!state || state->failed) return false;
    if (state->finished) return true;
    if (!state->headerDone) return state->Fail("Gzip: stream ended before header");
    if (!state->Inflate(nullptr, 0, false)) return false;
    return state->finished;
}

}  // namespace vr

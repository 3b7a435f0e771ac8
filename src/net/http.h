#pragma once
// The program's only HTTP client: plain synchronous GETs over WinHTTP that
// hand the body to the caller block by block, so large files stream to disk.
// No mirrors, retries or decompression here; those belong to the callers.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vr {

// The agent text of the patcher, the mirror probes and the maintenance check.
inline constexpr wchar_t kClientUserAgent[] = L"VeltruneClient/1.0";

// Result of every HTTP and download operation; callers map the numbers.
enum class HttpStatus : int32_t {
    Ok = 0,         // the server signalled the end of the body
    NotFound = 1,   // status 404
    Failed = 2,     // bad URL, a WinHTTP call failed, or a status outside 200..399
    Cancelled = 3,  // the caller's cancel flag was found set
    Aborted = 4,    // the chunk receiver refused a block
};

// Receives each block of body bytes in order; false stops the transfer.
using ChunkFn = std::function<bool(const uint8_t* data, uint64_t size)>;
// received: body bytes delivered so far; total: Content-Length, 0 when absent.
using ProgressFn = std::function<void(uint64_t received, uint64_t total)>;

class RateLimiter;

// A transfer that moves too little for too long is given up: fewer than
// minBytes received over windowMs of waiting on the server. Only time inside
// WinHTTP's waits counts, never the bandwidth cap's pauses or the caller's
// own work on the bytes. windowMs 0 (the default) checks nothing.
struct StallRule {
    uint32_t windowMs = 0;
    uint64_t minBytes = 0;
};

// What a probe that reads its (small) body found.
struct ProbeAnswer {
    int64_t latencyMs = -1;  // until the status was known; -1: no answer at all
    uint32_t status = 0;
    std::string body;       // status 200..399 only
    bool complete = false;  // the whole body came, within the size and the probe's time
};

class Http {
public:
    explicit Http(std::wstring agent = kClientUserAgent) : userAgent(std::move(agent)) {}

    // Keeps one WinHTTP session open until EndSession, shared by every request
    // of this object and of its copies (also across threads), so connections
    // stay alive between requests instead of paying a handshake each. Without
    // a session each request opens and closes its own. False when the session
    // cannot be opened; requests then open their own as before.
    bool BeginSession();
    void EndSession();
    bool InSession() const { return session != nullptr; }

    // Paces the bodies of every Get of this object and its copies; null (the
    // default) reads at full speed.
    void SetRateLimiter(std::shared_ptr<RateLimiter> limiter) { rateLimiter = std::move(limiter); }
    // Applies to every Get and GetRange of this object and its copies.
    void SetStallRule(StallRule rule) { stallRule = rule; }

    // Streaming GET. Either callback may be empty. `cancel` may be null; it is
    // only read, between reads of at most 64 KiB. A transfer given up by the
    // stall rule returns Failed with *stalled set.
    HttpStatus Get(const std::wstring& url, const ChunkFn& onChunk, const ProgressFn& onProgress,
                   const std::atomic<bool>* cancel, bool* stalled = nullptr) const;

    // A streaming GET of bytes first..last of the object (last < 0: to its
    // end). Ok only for a 206 answer whose body was complete. A server that
    // ignores the range (200 with the whole object) gives Failed with
    // *rangeIgnored set, before any body byte is handed on.
    HttpStatus GetRange(const std::wstring& url, uint64_t first, int64_t last, const ChunkFn& onChunk,
                        const std::atomic<bool>* cancel, bool* rangeIgnored = nullptr,
                        bool* stalled = nullptr) const;

    // Empties `out`, then collects the whole body into it. A body longer than
    // `maxBytes` stops the transfer with Aborted (out holds at most maxBytes).
    HttpStatus GetBytes(const std::wstring& url, std::string& out, const std::atomic<bool>* cancel,
                        uint64_t maxBytes = UINT64_MAX) const;

    // Milliseconds from just before connecting until the status is known, or -1
    // on any failure (404 included). The body is not read.
    int64_t Probe(const std::wstring& url, const std::atomic<bool>* cancel) const;
    // The same measure, and then the body when it is at most maxBytes and
    // arrives within the probe's time-out.
    ProbeAnswer ProbeWithBody(const std::wstring& url, size_t maxBytes, const std::atomic<bool>* cancel) const;

    // Opens a connection to the URL's server ahead of need with a HEAD request
    // and leaves it kept alive in the session, so a later Get there skips the
    // handshake. Only in a session; true when the server answered at all.
    // Waits at most the probe's timeouts.
    bool Warm(const std::wstring& url) const;

    std::wstring userAgent;

private:
    struct Session;
    // The GET itself: extra request headers (may be null) and the status
    // the range form needs.
    HttpStatus Request(const std::wstring& url, const wchar_t* headers, const ChunkFn& onChunk,
                       const ProgressFn& onProgress, const std::atomic<bool>* cancel, bool wantPartial,
                       bool* rangeIgnored, bool* stalled) const;
    ProbeAnswer ProbeRequest(const std::wstring& url, size_t maxBytes, const std::atomic<bool>* cancel) const;
    std::shared_ptr<Session> session;
    std::shared_ptr<RateLimiter> rateLimiter;
    StallRule stallRule;
};

// The TLS versions asked for: 1.3 where the system offers it, besides 1.0-1.2
// for old servers. Exposed for the tests, which report what the platform took.
uint32_t HttpSecureProtocolsWanted();
uint32_t HttpSecureProtocolsFallback();

}  // namespace vr

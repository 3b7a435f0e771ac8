#pragma once
// A loopback HTTP/1.1 server that a test starts and steers in-process: real
// Winsock sockets on 127.0.0.1, an ephemeral port, its own threads, stopped
// cleanly by its destructor. Routes are exact paths (query included); an
// unknown path answers 404. Every request is recorded for the test to read.
//
//   vr::test::HttpServer server;
//   server.Serve("/list.txt.gz", vr::test::Gzip("..."));
//   server.FailFirst("/a.gz", 2, vr::test::Reply::Status(500));
//   http.Get(server.WUrl() + L"list.txt.gz", ...);
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vr::test {

// Produces a body piece by piece (for bodies too large to hold): fills up to
// `cap` bytes at `dst` and returns the count, 0 at the end. One producer per
// request, called from that request's connection thread.
using BodyProducer = std::function<size_t(uint8_t* dst, size_t cap)>;

// One answer, with its faults. Defaults: 200, the body with Content-Length,
// keep-alive.
struct Reply {
    int status = 200;
    std::string reason;  // empty: a standard phrase for the code
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers

    // Body framing: Content-Length (default), or none (the body ends when the
    // connection closes).
    bool contentLength = true;
    // A 200 with a body answers "Range: bytes=a-b" (or "a-") with 206 and that
    // part, as static servers do; false answers with the whole body.
    bool acceptRanges = true;

    // The body ends cleanly after this many bytes (Content-Length says so too):
    // an early end only the receiver can notice.
    size_t truncateAt = SIZE_MAX;
    // Content-Length announces the whole body, this many bytes are sent, then
    // the connection is reset.
    size_t dropAfter = SIZE_MAX;
    // Pauses (milliseconds) before the status line and between pieces of
    // `throttleBytes` body bytes.
    uint32_t statusDelayMs = 0;
    size_t throttleBytes = 0;
    uint32_t throttleDelayMs = 0;

    // Large bodies: when set, a fresh producer per request supplies the body
    // instead of `body`; `producedSize` is its Content-Length (when framed by
    // length). Faults above other than framing and delays do not apply.
    std::function<BodyProducer()> producer;
    uint64_t producedSize = 0;

    static Reply Ok(std::string body) {
        Reply r;
        r.body = std::move(body);
        return r;
    }
    static Reply Status(int code, std::string body = {}) {
        Reply r;
        r.status = code;
        r.body = std::move(body);
        return r;
    }
};

struct RecordedRequest {
    std::string method;
    std::string path;  // request target as sent, e.g. "/Data/My%20File.dat.gz"
    std::string userAgent;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent

    // Value of the first header of that name (case-insensitive), or "".
    std::string Header(const std::string& name) const;
};

class HttpServer {
public:
    HttpServer();  // listening on 127.0.0.1 at an ephemeral port when it returns
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t Port() const;
    std::string Url() const;    // "http://127.0.0.1:PORT/"
    std::wstring WUrl() const;  // the same, wide, for Http and Patcher

    // Routes may change at any time; a request uses the route current when its
    // request line arrives.
    void Serve(const std::string& path, std::string body);  // 200 with the bytes
    void Set(const std::string& path, Reply reply);
    void Remove(const std::string& path);  // back to 404
    // The next `count` requests of `path` get `fault`, later ones the route.
    void FailFirst(const std::string& path, int count, Reply fault);

    std::vector<RecordedRequest> Requests() const;
    // GET requests of `path`: fetches, not a pass's HEAD warm-ups.
    int CountRequests(const std::string& path) const;
    void ClearRequests();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace vr::test

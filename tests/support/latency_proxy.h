#pragma once
// A loopback proxy that makes 127.0.0.1 look like a long link: every chunk
// is delivered a one-way delay late in each direction, a new connection's
// first request is held one extra round trip (the TCP handshake a real link
// would pay), and each direction of a connection may be held to a rate.
// User space because this kernel has no netem.
//
//   vr::test::HttpServer server;
//   vr::test::LatencyProxy link(server.Port(), 25);  // 50 ms round trip
//   http.Get(link.WUrl() + L"a.gz", ...);
#include <cstdint>
#include <memory>
#include <string>

namespace vr::test {

class LatencyProxy {
public:
    // Listens on 127.0.0.1 at an ephemeral port when it returns and forwards
    // to 127.0.0.1:targetPort. bytesPerSecond 0 means no rate limit.
    LatencyProxy(uint16_t targetPort, uint32_t oneWayDelayMs, uint64_t bytesPerSecond = 0);
    ~LatencyProxy();
    LatencyProxy(const LatencyProxy&) = delete;
    LatencyProxy& operator=(const LatencyProxy&) = delete;

    uint16_t Port() const;
    std::string Url() const;    // "http://127.0.0.1:PORT/"
    std::wstring WUrl() const;  // the same, wide
    // Connections accepted so far.
    int Connections() const;
    // Bytes delivered so far, client to server (requests) and server to
    // client (responses), over all connections: what the emulated link
    // carried, for comparing transfer tools by their bytes on the wire.
    uint64_t BytesUp() const;
    uint64_t BytesDown() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace vr::test

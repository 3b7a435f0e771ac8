#include "support/http_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cctype>
#include <list>
#include <map>
#include <memory>
#include <string_view>
#include <mutex>
#include <thread>

namespace vr::test {

namespace {

// Replies are shared, never copied per request: a copy of a large body for
// every request would cost the serving process more than a real mirror
// spends, and in the latency benchmarks that shows up as link time.
struct Route {
    std::shared_ptr<const Reply> reply;  // null: no reply set
    int faultsLeft = 0;
    std::shared_ptr<const Reply> fault;
};

// "bytes=a-b" or "bytes=a-" within a body of `size` bytes (one range only).
bool ParseRange(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last) {
    unsigned long long a = 0, b = 0;
    char tail = 0;
    if (header.rfind("bytes=", 0) != 0 || size == 0) return false;
    const std::string spec = header.substr(6);
    if (std::sscanf(spec.c_str(), "%llu-%llu%c", &a, &b, &tail) == 2) {
        last = b < size ? b : size - 1;
    } else if (std::sscanf(spec.c_str(), "%llu-%c", &a, &tail) == 1 && spec.back() == '-') {
        last = size - 1;
    } else {
        return false;
    }
    first = a;
    return first <= last;
}

const char* ReasonFor(int code) {
    switch (code) {
        case 200: return "OK";
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 300: return "Multiple Choices";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
    std::string want = Lower(name);
    for (const auto& [key, value] : headers) {
        if (Lower(key) == want) return value;
    }
    return {};
}

struct HttpServer::Impl {
    SOCKET listener = INVALID_SOCKET;
    uint16_t port = 0;
    HANDLE stopEvent = nullptr;  // manual reset; wakes every pause at shutdown
    std::atomic<bool> stopping{false};
    std::thread acceptThread;

    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::mutex connMutex;
    std::list<Connection> connections;

    mutable std::mutex mutex;  // routes and requests
    std::map<std::string, Route> routes;
    std::vector<RecordedRequest> requests;

    // Pauses that end early when the server stops; false when stopping.
    bool Pause(uint32_t ms) {
        if (ms == 0) return !stopping;
        return WaitForSingleObject(stopEvent, ms) == WAIT_TIMEOUT;
    }

    // Sockets are non-blocking and waited on in short steps, so that a stop is
    // noticed even while a client neither sends nor reads.
    bool WaitReady(SOCKET s, bool forWrite) {
        while (!stopping) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval tv{0, 50 * 1000};
            int n = forWrite ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
            if (n > 0) return true;
            if (n < 0) return false;
        }
        return false;
    }
    bool WaitReadable(SOCKET s) { return WaitReady(s, false); }

    bool SendAll(SOCKET s, const char* data, size_t size) {
        while (size > 0) {
            if (stopping) return false;
            int n = send(s, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
                if (!WaitReady(s, true)) return false;
                continue;
            }
            if (n <= 0) return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    std::shared_ptr<const Reply> Pick(const RecordedRequest& req) {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(req);
        auto it = routes.find(req.path);
        Route* route = it == routes.end() ? nullptr : &it->second;
        if (route && route->faultsLeft > 0) {
            --route->faultsLeft;
            return route->fault;
        }
        if (!route || !route->reply) return std::make_shared<const Reply>(Reply::Status(404, "not found"));
        return route->reply;
    }

    // Sends body bytes with the reply's pacing. False when the
    // connection is gone or the server stops.
    bool SendBody(SOCKET s, const Reply& reply, const char* data, size_t size) {
        size_t piece = size;
        if (reply.throttleBytes > 0) piece = reply.throttleBytes;
        size_t sent = 0;
        while (sent < size) {
            size_t n = std::min(piece, size - sent);
            if (!SendAll(s, data + sent, n)) return false;
            sent += n;
            if (reply.throttleBytes > 0 && sent < size && !Pause(reply.throttleDelayMs)) return false;
        }
        return true;
    }

    enum class After { Close, KeepAlive, Reset };

    // What becomes of the connection once the answer is out.
    After Answer(SOCKET s, const RecordedRequest& req) {
        const std::shared_ptr<const Reply> picked = Pick(req);
        const Reply& reply = *picked;
        if (!Pause(reply.statusDelayMs)) return After::Close;

        // The reply's own bytes unless a fault changes them.
        std::string_view body;
        uint64_t announced = 0;
        if (!reply.producer) {
            body = reply.body;
            if (reply.truncateAt < body.size()) body = body.substr(0, reply.truncateAt);
            announced = body.size();
        } else {
            announced = reply.producedSize;
        }
        int status = reply.status;
        std::string contentRange;
        uint64_t first = 0, last = 0;
        if (status == 200 && !reply.producer && reply.acceptRanges &&
            ParseRange(req.Header("Range"), body.size(), first, last)) {
            contentRange = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                           std::to_string(body.size()) + "\r\n";
            body = body.substr(first, last - first + 1);
            announced = body.size();
            status = 206;
        }
        bool dropping = !reply.producer && reply.dropAfter < body.size();
        bool closeDelimited = !reply.contentLength;
        bool headOnly = req.method == "HEAD" || reply.status == 204 || reply.status == 304;

        std::string head = std::string("HTTP/1.1 ") + std::to_string(status) + " " +
                           (reply.reason.empty() ? ReasonFor(status) : reply.reason) + "\r\n" + contentRange;
        if (reply.contentLength) head += "Content-Length: " + std::to_string(announced) + "\r\n";
        head += closeDelimited ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
        for (const auto& [key, value] : reply.headers) head += key + ": " + value + "\r\n";
        head += "\r\n";
        if (!SendAll(s, head.data(), head.size())) return After::Close;
        if (headOnly) return closeDelimited ? After::Close : After::KeepAlive;

        if (reply.producer) {
            BodyProducer produce = reply.producer();
            std::vector<uint8_t> buffer(256 * 1024);
            for (;;) {
                size_t n = produce(buffer.data(), buffer.size());
                if (n == 0) break;
                if (!SendBody(s, reply, reinterpret_cast<const char*>(buffer.data()), n)) return After::Close;
            }
        } else if (dropping) {
            SendBody(s, reply, body.data(), reply.dropAfter);
            return After::Reset;
        } else if (!SendBody(s, reply, body.data(), body.size())) {
            return After::Close;
        }
        return closeDelimited ? After::Close : After::KeepAlive;
    }

    After Serve(SOCKET s) {
        std::string pending;
        char buffer[8192];
        for (;;) {
            size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                if (pending.size() > 64 * 1024 || !WaitReadable(s)) return After::Close;
                int n = recv(s, buffer, sizeof buffer, 0);
                if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
                if (n <= 0) return After::Close;
                pending.append(buffer, static_cast<size_t>(n));
            }
            std::string head = pending.substr(0, end);
            pending.erase(0, end + 4);

            RecordedRequest req;
            size_t lineEnd = head.find("\r\n");
            std::string requestLine = head.substr(0, lineEnd);
            size_t sp1 = requestLine.find(' ');
            size_t sp2 = requestLine.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
            if (sp1 == std::string::npos || sp2 == std::string::npos) return After::Close;
            req.method = requestLine.substr(0, sp1);
            req.path = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
            size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
            while (pos < head.size()) {
                size_t next = head.find("\r\n", pos);
                if (next == std::string::npos) next = head.size();
                std::string line = head.substr(pos, next - pos);
                size_t colon = line.find(':');
                if (colon != std::string::npos) {
                    req.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
                }
                pos = next + 2;
            }
            req.userAgent = req.Header("User-Agent");
            const After after = Answer(s, req);
            if (after != After::KeepAlive) return after;
        }
    }

    void AcceptLoop() {
        while (!stopping) {
            ReapFinished();
            if (!WaitReadable(listener)) continue;
            SOCKET s = accept(listener, nullptr, nullptr);
            if (s == INVALID_SOCKET) continue;
            u_long nonBlocking = 1;
            ioctlsocket(s, FIONBIO, &nonBlocking);
            // Head and body go out in separate sends; without this, Nagle's
            // algorithm and the client's delayed ACK add ~40 ms to every request.
            BOOL noDelay = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
            std::lock_guard<std::mutex> lock(connMutex);
            connections.emplace_back();
            Connection& conn = connections.back();
            conn.thread = std::thread([this, s, &conn] {
                if (Serve(s) == After::Reset) {
                    // An abortive close: the peer sees a reset, not a clean end.
                    linger hard{1, 0};
                    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
                } else {
                    shutdown(s, SD_SEND);
                }
                closesocket(s);
                conn.done = true;
            });
        }
    }

    void ReapFinished() {
        std::lock_guard<std::mutex> lock(connMutex);
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->done) {
                it->thread.join();
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
};

HttpServer::HttpServer() : impl(std::make_unique<Impl>()) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    impl->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl->listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(impl->listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(impl->listener, SOMAXCONN);
    int len = sizeof addr;
    getsockname(impl->listener, reinterpret_cast<sockaddr*>(&addr), &len);
    impl->port = ntohs(addr.sin_port);
    impl->acceptThread = std::thread([this] { impl->AcceptLoop(); });
}

HttpServer::~HttpServer() {
    impl->stopping = true;
    SetEvent(impl->stopEvent);
    impl->acceptThread.join();
    {
        std::lock_guard<std::mutex> lock(impl->connMutex);
        for (auto& conn : impl->connections) conn.thread.join();
        impl->connections.clear();
    }
    closesocket(impl->listener);
    CloseHandle(impl->stopEvent);
    WSACleanup();
}

uint16_t HttpServer::Port() const { return impl->port; }

std::string HttpServer::Url() const { return "http://127.0.0.1:" + std::to_string(impl->port) + "/"; }

std::wstring HttpServer::WUrl() const {
    std::string url = Url();
    return std::wstring(url.begin(), url.end());
}

void HttpServer::Serve(const std::string& path, std::string body) { Set(path, Reply::Ok(std::move(body))); }

void HttpServer::Set(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes[path].reply = std::make_shared<const Reply>(std::move(reply));
}

void HttpServer::Remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes.erase(path);
}

void HttpServer::FailFirst(const std::string& path, int count, Reply fault) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    Route& route = impl->routes[path];
    route.faultsLeft = count;
    route.fault = std::make_shared<const Reply>(std::move(fault));
}

std::vector<RecordedRequest> HttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->requests;
}

int HttpServer::CountRequests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return static_cast<int>(std::count_if(impl->requests.begin(), impl->requests.end(),
                                          [&](const RecordedRequest& r) { return r.path == path && r.method == "GET"; }));
}

void HttpServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->requests.clear();
}

}  // namespace vr::test

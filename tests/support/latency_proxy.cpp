#include "support/latency_proxy.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vr::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReadSize = 65536;
// Rate-limited sends go out in pieces this size, so the pacing is smooth.
constexpr size_t kPaceBytes = 16384;

struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender closed its side
};

// One direction of one connection: a reader that stamps each chunk with its
// delivery time and a writer that sends it then.
class Pipe {
public:
    Pipe(SOCKET from, SOCKET to, std::chrono::milliseconds delay, std::chrono::milliseconds firstExtra, uint64_t rate,
         std::atomic<uint64_t>& carried)
        : from(from), to(to), delay(delay), firstExtra(firstExtra), rate(rate), carried(carried) {
        // A rate-limited link holds about what it carries in a round trip;
        // reading further ahead would let the sender push a whole body into
        // this process at once, a burst of copying no real link allows.
        if (rate > 0) maxQueued = static_cast<size_t>(rate * 2 * delay.count() / 1000) + 4 * kReadSize;
        reader = std::thread([this] { Read(); });
        writer = std::thread([this] { Write(); });
    }
    void Join() {
        reader.join();
        writer.join();
    }
    void Stop() {
        readStop = true;
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        changed.notify_all();
    }

private:
    // False when the pipe is stopping.
    bool Push(Chunk chunk) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return stopping || queued < maxQueued; });
        if (stopping) return false;
        queued += chunk.bytes.size();
        queue.push_back(std::move(chunk));
        changed.notify_all();
        return true;
    }
    void Read() {
        std::vector<char> buffer(kReadSize);
        bool first = true;
        for (;;) {
            // Wine does not always wake a blocked recv when the socket is shut
            // down from another thread, so the reader looks at the stop flag
            // between short waits instead of blocking until the peer's timeout.
            if (readStop) break;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(from, &readable);
            timeval wait{0, 50000};
            const int ready = select(0, &readable, nullptr, nullptr, &wait);
            if (ready < 0) break;
            if (ready == 0) continue;
            const int n = recv(from, buffer.data(), static_cast<int>(buffer.size()), 0);
            if (n <= 0) break;
            Clock::time_point due = Clock::now() + delay;
            if (first) due += firstExtra;
            first = false;
            if (!Push({due, std::string(buffer.data(), static_cast<size_t>(n))})) return;
        }
        Push({Clock::now() + delay, std::string()});
    }
    bool SendAll(const char* data, size_t size) {
        while (size > 0) {
            const int n = send(to, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
            if (n <= 0) return false;
            carried += static_cast<uint64_t>(n);
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    void Write() {
        Clock::time_point paidUntil = Clock::now();
        for (;;) {
            Chunk chunk;
            {
                std::unique_lock<std::mutex> guard(lock);
                changed.wait(guard, [&] { return stopping || !queue.empty(); });
                if (stopping) return;
                const Clock::time_point due = queue.front().due;
                if (changed.wait_until(guard, due, [&] { return stopping; })) return;
                chunk = std::move(queue.front());
                queue.pop_front();
                queued -= chunk.bytes.size();
                changed.notify_all();
            }
            if (chunk.bytes.empty()) {
                shutdown(to, SD_SEND);
                return;
            }
            if (rate == 0) {
                if (!SendAll(chunk.bytes.data(), chunk.bytes.size())) return;
                continue;
            }
            // A pipe sends each byte when it has arrived and the bytes before
            // it have left, whichever is later. The schedule is kept against
            // that, not against when this thread woke: a sleep that overran
            // is made up by the next pieces, as long as there is a backlog,
            // so the emulator's own wake-up delays do not lower the rate.
            paidUntil = std::max(paidUntil, chunk.due);
            for (size_t at = 0; at < chunk.bytes.size(); at += kPaceBytes) {
                const size_t n = std::min(kPaceBytes, chunk.bytes.size() - at);
                std::this_thread::sleep_until(paidUntil);
                if (!SendAll(chunk.bytes.data() + at, n)) return;
                paidUntil += std::chrono::nanoseconds(static_cast<int64_t>(n * 1000000000ull / rate));
            }
        }
    }

    SOCKET from, to;
    std::chrono::milliseconds delay, firstExtra;
    uint64_t rate;
    std::atomic<uint64_t>& carried;  // shared by every pipe of one direction
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Chunk> queue;
    size_t queued = 0;  // bytes in `queue`
    size_t maxQueued = SIZE_MAX;
    bool stopping = false;
    std::atomic<bool> readStop{false};
    std::thread reader, writer;
};

struct Link {
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;
    std::unique_ptr<Pipe> up, down;
};

SOCKET Listen(uint16_t& port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 64) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    port = ntohs(addr.sin_port);
    return s;
}

SOCKET ConnectTo(uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void NoDelay(SOCKET s) {
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace

struct LatencyProxy::Impl {
    uint16_t targetPort = 0;
    std::chrono::milliseconds delay{0};
    uint64_t rate = 0;
    SOCKET listener = INVALID_SOCKET;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> accepted{0};
    std::atomic<uint64_t> bytesUp{0}, bytesDown{0};
    std::thread acceptThread;
    std::mutex linksLock;
    std::list<Link> links;

    void Accept() {
        for (;;) {
            SOCKET client = accept(listener, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            if (stopping) {
                closesocket(client);
                return;
            }
            SOCKET server = ConnectTo(targetPort);
            if (server == INVALID_SOCKET) {
                closesocket(client);
                continue;
            }
            NoDelay(client);
            NoDelay(server);
            ++accepted;
            std::lock_guard<std::mutex> guard(linksLock);
            Link& link = links.emplace_back();
            link.client = client;
            link.server = server;
            // The handshake a real link pays before the first request can go.
            link.up = std::make_unique<Pipe>(client, server, delay, 2 * delay, rate, bytesUp);
            link.down = std::make_unique<Pipe>(server, client, delay, std::chrono::milliseconds(0), rate, bytesDown);
        }
    }
};

LatencyProxy::LatencyProxy(uint16_t targetPort, uint32_t oneWayDelayMs, uint64_t bytesPerSecond)
    : impl(std::make_unique<Impl>()) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    impl->targetPort = targetPort;
    impl->delay = std::chrono::milliseconds(oneWayDelayMs);
    impl->rate = bytesPerSecond;
    impl->listener = Listen(impl->port);
    if (impl->listener != INVALID_SOCKET) impl->acceptThread = std::thread([this] { impl->Accept(); });
}

LatencyProxy::~LatencyProxy() {
    impl->stopping = true;
    // A connection of our own wakes the blocked accept, which then sees the
    // stop flag; closing the listener alone does not reliably wake it.
    if (impl->listener != INVALID_SOCKET) {
        const SOCKET wake = ConnectTo(impl->port);
        if (wake != INVALID_SOCKET) closesocket(wake);
    }
    if (impl->acceptThread.joinable()) impl->acceptThread.join();
    if (impl->listener != INVALID_SOCKET) closesocket(impl->listener);
    // Sockets are closed only after the pipes' threads have ended, so no
    // thread can touch a handle number the system has already reused.
    for (Link& link : impl->links) {
        shutdown(link.client, SD_BOTH);
        shutdown(link.server, SD_BOTH);
        link.up->Stop();
        link.down->Stop();
        link.up->Join();
        link.down->Join();
        closesocket(link.client);
        closesocket(link.server);
    }
    WSACleanup();
}

uint16_t LatencyProxy::Port() const { return impl->port; }
std::string LatencyProxy::Url() const { return "http://127.0.0.1:" + std::to_string(impl->port) + "/"; }
std::wstring LatencyProxy::WUrl() const { return L"http://127.0.0.1:" + std::to_wstring(impl->port) + L"/"; }
int LatencyProxy::Connections() const { return impl->accepted.load(); }
uint64_t LatencyProxy::BytesUp() const { return impl->bytesUp.load(); }
uint64_t LatencyProxy::BytesDown() const { return impl->bytesDown.load(); }

}  // namespace vr::test

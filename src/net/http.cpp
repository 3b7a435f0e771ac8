#include "net/http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/log.h"
#include "platform/winhttp_handle.h"
#include "net/rate_limiter.h"

namespace vr {
namespace {

// Each connection of a pass holds one receive buffer this size; reads of
// 64 KiB kept the loopback rate of 256 KiB ones (docs/benchmarks.md).
constexpr DWORD kBlockSize = 65536;
// Some mirrors still only speak the older versions.
constexpr DWORD kSecureProtocols =
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
// TLS 1.3 saves a round trip on every new connection where both ends speak it.
constexpr DWORD kSecureProtocolsWithTls13 = kSecureProtocols | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
// Resolving the name and connecting, then sending and each wait on the
// answer or on more body data.
struct Timeouts {
    int resolve, connect, send, receive;
};
constexpr Timeouts kRequestTimeouts{30000, 30000, 60000, 60000};
// Every timeout of a probe, and its whole body's; set per request when it
// shares a session.
constexpr int kProbeTimeoutMs = 5000;
constexpr Timeouts kProbeTimeouts{kProbeTimeoutMs, kProbeTimeoutMs, kProbeTimeoutMs, kProbeTimeoutMs};

bool SetTimeouts(HINTERNET handle, const Timeouts& t) {
    return WinHttpSetTimeouts(handle, t.resolve, t.connect, t.send, t.receive) != FALSE;
}

struct UrlParts {
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    INTERNET_PORT port = 0;
    bool secure = false;
};

// The fixed-size buffers are the limit: a longer host or path cannot be split.
bool CrackUrl(const std::wstring& url, UrlParts& parts) {
    URL_COMPONENTS uc{};
    uc.dwStructSize = sizeof uc;
    uc.lpszHostName = parts.host;
    uc.dwHostNameLength = static_cast<DWORD>(std::size(parts.host));
    uc.lpszUrlPath = parts.path;
    uc.dwUrlPathLength = static_cast<DWORD>(std::size(parts.path));
    uc.dwSchemeLength = 1;  // the scheme number is all we need
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &uc)) return false;
    if (uc.dwHostNameLength == 0) return false;
    parts.port = uc.nPort;
    parts.secure = uc.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

// The session handle with the options both operations share.
WinHttpHandle OpenSession(const std::wstring& agent, const Timeouts& timeouts) {
    WinHttpHandle session(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return WinHttpHandle();
    DWORD protocols = kSecureProtocolsWithTls13;
    // Windows before 11 / Server 2022 refuses the TLS 1.3 flag as a whole, so
    // the older set is asked for alone. Its result is ignored on purpose: a
    // system that refuses the older versions still speaks its own defaults.
    if (!WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        static std::atomic<bool> logged{false};
        if (!logged.exchange(true))
            LogFormat("Http: TLS 1.3 not offered here (err %lu); using TLS 1.0-1.2", GetLastError());
        protocols = kSecureProtocols;
        (void)WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }
    if (!SetTimeouts(session.get(), timeouts)) {
        LogFormat("Http: timeouts not set, using WinHTTP's defaults (err %lu)", GetLastError());
    }
    return session;
}

HINTERNET OpenRequest(HINTERNET connection, const UrlParts& parts, const wchar_t* verb = L"GET") {
    return WinHttpOpenRequest(connection, verb, parts.path, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                              parts.secure ? WINHTTP_FLAG_SECURE : 0);
}

DWORD QueryNumber(HINTERNET request, DWORD query, bool& ok) {
    DWORD value = 0;
    DWORD size = sizeof value;
    ok = WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                             WINHTTP_NO_HEADER_INDEX) != FALSE;
    return ok ? value : 0;
}

bool IsCancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(); }

}  // namespace

struct Http::Session {
    WinHttpHandle handle;
    // Receive buffers handed from request to request: a fresh block
    // per file from several threads at once fragments the heap, and the
    // working set then grows with the files of a pass.
    std::mutex lock;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> spare;

    std::unique_ptr<std::vector<uint8_t>> Take() {
        std::lock_guard<std::mutex> guard(lock);
        if (spare.empty()) return std::make_unique<std::vector<uint8_t>>(kBlockSize);
        auto buffer = std::move(spare.back());
        spare.pop_back();
        return buffer;
    }
    void Give(std::unique_ptr<std::vector<uint8_t>> buffer) {
        std::lock_guard<std::mutex> guard(lock);
        spare.push_back(std::move(buffer));
    }
};

bool Http::BeginSession() {
    auto opened = std::make_shared<Session>();
    opened->handle = OpenSession(userAgent, kRequestTimeouts);
    if (!opened->handle) return false;
    session = std::move(opened);
    return true;
}

// Copies still holding the session keep it open until they go too.
void Http::EndSession() { session.reset(); }

uint32_t HttpSecureProtocolsWanted() { return kSecureProtocolsWithTls13; }
uint32_t HttpSecureProtocolsFallback() { return kSecureProtocols; }

HttpStatus Http::Get(const std::wstring& url, const ChunkFn& onChunk, const ProgressFn& onProgress,
                     const std::atomic<bool>* cancel, bool* stalled) const {
    return Request(url, nullptr, onChunk, onProgress, cancel, false, nullptr, stalled);
}

HttpStatus Http::GetRange(const std::wstring& url, uint64_t first, int64_t last, const ChunkFn& onChunk,
                          const std::atomic<bool>* cancel, bool* rangeIgnored, bool* stalled) const {
    std::wstring header = L"Range: bytes=" + std::to_wstring(first) + L"-";
    if (last >= 0) header += std::to_wstring(last);
    return Request(url, header.c_str(), onChunk, nullptr, cancel, true, rangeIgnored, stalled);
}

HttpStatus Http::Request(const std::wstring& url, const wchar_t* headers, const ChunkFn& onChunk,
                         const ProgressFn& onProgress, const std::atomic<bool>* cancel, bool wantPartial,
                         bool* rangeIgnored, bool* stalled) const {
    UrlParts parts;
    if (!CrackUrl(url, parts)) {
        LogLine("Http: bad url");
        return HttpStatus::Failed;
    }
    WinHttpHandle own;
    if (!session) {
        own = OpenSession(userAgent, kRequestTimeouts);
        if (!own) return HttpStatus::Failed;
    }
    // The connection handle is only a name for host and port: closing it keeps
    // the socket in the session's pool for the next request.
    const WinHttpHandle connection(
        WinHttpConnect(session ? session->handle.get() : own.get(), parts.host, parts.port, 0));
    if (!connection) return HttpStatus::Failed;
    const WinHttpHandle request(OpenRequest(connection.get(), parts));
    if (!request) return HttpStatus::Failed;
    if (!WinHttpSendRequest(request.get(), headers ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                            headers ? static_cast<DWORD>(-1L) : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return HttpStatus::Failed;
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) return HttpStatus::Failed;

    bool ok = false;
    DWORD status = QueryNumber(request.get(), WINHTTP_QUERY_STATUS_CODE, ok);
    if (status == 404) return HttpStatus::NotFound;
    if (wantPartial && status != 206) {
        // The whole object instead of the part: not what the caller can use.
        if (rangeIgnored && status >= 200 && status <= 299) *rangeIgnored = true;
        LogFormat("Http: status %lu to a range request", static_cast<unsigned long>(status));
        return HttpStatus::Failed;
    }
    // 3xx that WinHTTP did not follow still carries a body the caller wants.
    if (status < 200 || status > 399) {
        LogFormat("Http: status %lu", static_cast<unsigned long>(status));
        return HttpStatus::Failed;
    }
    const uint64_t total = QueryNumber(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, ok);
    // WinHTTP (Wine's at least) reports a connection lost mid-body as a normal
    // end. A body shorter than its announced length is not a success; longer
    // than 4 GiB the 32-bit figure is smaller than the truth, so it never
    // fails a complete body.
    auto ended = [&](uint64_t received) { return received < total ? HttpStatus::Failed : HttpStatus::Ok; };

    // From the session's spares when there is one (not thread_local: that
    // crashed in ntdll at the exit of the download threads, MinGW's emulated
    // TLS under Wine); returned whatever way the request ends.
    struct Lease {
        Session* owner;
        std::unique_ptr<std::vector<uint8_t>> block;
        ~Lease() {
            if (owner) owner->Give(std::move(block));
        }
    } lease{session.get(), session ? session->Take() : std::make_unique<std::vector<uint8_t>>(kBlockSize)};
    std::vector<uint8_t>& buffer = *lease.block;
    uint64_t received = 0;
    // The stall rule's window: waiting on the server and the bytes it gave
    // since the transfer last showed enough progress.
    uint64_t waitedMs = 0, windowBytes = 0;
    const auto stalledNow = [&](uint64_t since, uint64_t bytes) {
        if (stallRule.windowMs == 0) return false;
        waitedMs += GetTickCount64() - since;
        windowBytes += bytes;
        if (windowBytes >= stallRule.minBytes) {
            waitedMs = 0;
            windowBytes = 0;
            return false;
        }
        if (waitedMs < stallRule.windowMs) return false;
        if (stalled) *stalled = true;
        return true;
    };
    for (;;) {
        if (IsCancelled(cancel)) return HttpStatus::Cancelled;
        const uint64_t waitStart = GetTickCount64();
        DWORD available = 0;
        DWORD read = 0;
        // A wait that times out counts towards the window too.
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            stalledNow(waitStart, 0);
            return HttpStatus::Failed;
        }
        if (available == 0) return ended(received);
        if (!WinHttpReadData(request.get(), buffer.data(), std::min(available, kBlockSize), &read)) {
            stalledNow(waitStart, 0);
            return HttpStatus::Failed;
        }
        if (read == 0) return ended(received);
        if (stalledNow(waitStart, read)) return HttpStatus::Failed;
        // Paced before the block is handed on, so a capped pass never runs ahead
        // of its rate; the wait watches the cancel flag.
        if (rateLimiter && !rateLimiter->Take(read, cancel)) return HttpStatus::Cancelled;
        if (onChunk && !onChunk(buffer.data(), read)) return HttpStatus::Aborted;
        received += read;
        if (onProgress) onProgress(received, total);
    }
}

HttpStatus Http::GetBytes(const std::wstring& url, std::string& out, const std::atomic<bool>* cancel,
                          uint64_t maxBytes) const {
    out.clear();
    return Get(
        url,
        [&out, maxBytes](const uint8_t* data, uint64_t size) {
            if (size > maxBytes - out.size()) return false;
            out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
            return true;
        },
        ProgressFn(), cancel);
}

int64_t Http::Probe(const std::wstring& url, const std::atomic<bool>* cancel) const {
    const ProbeAnswer answer = ProbeRequest(url, 0, cancel);
    return answer.status >= 200 && answer.status <= 399 ? answer.latencyMs : -1;
}

ProbeAnswer Http::ProbeWithBody(const std::wstring& url, size_t maxBytes, const std::atomic<bool>* cancel) const {
    return ProbeRequest(url, maxBytes, cancel);
}

// maxBytes 0: the body is not read.
ProbeAnswer Http::ProbeRequest(const std::wstring& url, size_t maxBytes, const std::atomic<bool>* cancel) const {
    ProbeAnswer answer;
    UrlParts parts;
    if (!CrackUrl(url, parts)) return answer;
    WinHttpHandle own;
    if (!session) {
        own = OpenSession(userAgent, kProbeTimeouts);
        if (!own) return answer;
    }
    const ULONGLONG start = GetTickCount64();
    const WinHttpHandle connection(
        WinHttpConnect(session ? session->handle.get() : own.get(), parts.host, parts.port, 0));
    if (!connection) return answer;
    const WinHttpHandle request(OpenRequest(connection.get(), parts));
    if (!request) return answer;
    if (session) {
        // A shared session carries the download timeouts; a probe keeps its short ones.
        (void)SetTimeouts(request.get(), kProbeTimeouts);
        // The probe leaves its body unread. Wine's WinHTTP would put that
        // connection back into the session's pool anyway, and the next request
        // on it then waits for a response that never comes, so it must close.
        DWORD feature = WINHTTP_DISABLE_KEEP_ALIVE;
        (void)WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature);
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return answer;
    }
    if (IsCancelled(cancel)) return answer;
    if (!WinHttpReceiveResponse(request.get(), nullptr)) return answer;
    bool ok = false;
    answer.status = QueryNumber(request.get(), WINHTTP_QUERY_STATUS_CODE, ok);
    const ULONGLONG end = GetTickCount64();
    answer.latencyMs = static_cast<int64_t>(end - start);
    if (maxBytes == 0 || answer.status < 200 || answer.status > 399) return answer;
    const uint64_t total = QueryNumber(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, ok);
    // The whole body within one probe time-out: a trickle is not an answer.
    uint8_t block[4096];
    for (;;) {
        if (IsCancelled(cancel) || GetTickCount64() - end > static_cast<ULONGLONG>(kProbeTimeoutMs)) return answer;
        DWORD available = 0;
        DWORD read = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) return answer;
        if (available == 0) break;
        if (!WinHttpReadData(request.get(), block, std::min<DWORD>(available, sizeof block), &read)) return answer;
        if (read == 0) break;
        if (answer.body.size() + read > maxBytes) return answer;
        answer.body.append(reinterpret_cast<const char*>(block), read);
    }
    answer.complete = answer.body.size() >= total;
    return answer;
}

bool Http::Warm(const std::wstring& url) const {
    // Without a session the connection would close with the request.
    if (!session) return false;
    UrlParts parts;
    if (!CrackUrl(url, parts)) return false;
    const WinHttpHandle connection(WinHttpConnect(session->handle.get(), parts.host, parts.port, 0));
    if (!connection) return false;
    const WinHttpHandle request(OpenRequest(connection.get(), parts, L"HEAD"));
    if (!request) return false;
    (void)SetTimeouts(request.get(), kProbeTimeouts);
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    // The answer has no body. Reading that empty body to its end is what
    // hands the connection back to the session's pool (Wine keeps it out of
    // the pool until a read returns nothing).
    uint8_t none[16];
    DWORD read = 0;
    (void)WinHttpReadData(request.get(), none, sizeof none, &read);
    return true;
}

}  // namespace vr

#include <algorithm>
#include <climits>
#include <memory>
#include <numeric>
#include <system_error>
#include <thread>
#include <tuple>

#include "net/sha256.h"
#include "net/signature.h"
#include "patcher/freshness.h"
#include "patcher/list_trust.h"
#include "patcher/patcher.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

// What one probe found: the mirror's freshness object when it has one,
// else (an older server folder) the answer to today's probe of the list.
struct ProbeResult {
    int64_t latency = -1;
    bool answeredFresh = false;  // 200 with a complete freshness object
    std::string freshText;
};

// What one probe thread owns: it writes only its own result slot.
struct ProbeJob {
    size_t index;
    std::wstring freshUrl, listUrl;
    Http http;  // a copy of the patcher's, so probes share the pass's session
    std::vector<ProbeResult>* results;
    const std::atomic<bool>* cancel;
};

void RunProbe(std::unique_ptr<ProbeJob> job) {
    ProbeResult& out = (*job->results)[job->index];
    const ProbeAnswer answer = job->http.ProbeWithBody(job->freshUrl, kMaxFreshnessBytes, job->cancel);
    if (answer.latencyMs < 0) return;  // no answer at all: the list would not come either
    if (answer.status >= 200 && answer.status <= 399 && answer.complete) {
        out.latency = answer.latencyMs;
        out.answeredFresh = true;
        out.freshText = answer.body;
        return;
    }
    // No freshness object (or an error page for it): probed as before.
    out.latency = job->http.Probe(job->listUrl, job->cancel);
}

// Where a mirror stands in the pass's order; lower goes first.
enum Rank { kNewest = 0, kUnknown = 1, kStalledBefore = 2, kRefused = 3, kNoAnswer = 4, kOlder = 5 };

}  // namespace

void Patcher::SelectFastestServer(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks) {
    currentServer = 0;
    freshClaims.clear();
    freshestSerial = -1;
    servers = configured;
    if (servers.size() < 2) return;
    if (callbacks.status) callbacks.status("Selecting fastest server...");

    std::vector<ProbeResult> results(servers.size());
    std::vector<std::thread> threads;
    threads.reserve(servers.size());
    const std::wstring freshName = config.listFile + Utf8ToWide(kFreshnessSuffix);
    for (size_t i = 0; i < servers.size(); ++i) {
        // Joined as they stand, like the list's own URL in the fallback.
        auto job = std::make_unique<ProbeJob>(
            ProbeJob{i, servers[i] + freshName, servers[i] + config.listFile + L".gz", http, &results, &cancel});
        try {
            threads.emplace_back(RunProbe, std::move(job));
        } catch (const std::system_error&) {
            // A probe that cannot start counts as a failed one.
        }
    }
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < servers.size(); ++i) {
        if (results[i].latency >= 0) results[i].latency = seams.probeLatency(servers[i], results[i].latency);
    }

    // Freshness objects are judged like the list: with a key, only a valid
    // signature and an unexpired object count.
    std::vector<Rank> rank(servers.size(), kUnknown);
    std::vector<std::string> refusal(servers.size());
    std::vector<Freshness> fresh(servers.size());
    for (size_t i = 0; i < servers.size(); ++i) {
        if (results[i].latency < 0) {
            rank[i] = kNoAnswer;
            continue;
        }
        if (!results[i].answeredFresh) continue;
        const std::string& text = results[i].freshText;
        std::string& why = refusal[i];
        if (ParseFreshness(text, fresh[i], why) && !listKey.empty()) {
            if (!fresh[i].hasSig) {
                why = "not signed";
            } else {
                const SignatureCheck check =
                    VerifyP256Base64(listKey, text.substr(0, fresh[i].signedBytes), fresh[i].sigBase64);
                if (check != SignatureCheck::Valid) {
                    why = std::string("signature check: ") + SignatureCheckText(check);
                } else if (fresh[i].hasExpires && seams.unixNow() > fresh[i].expires + kExpirySlackSeconds) {
                    why = "expired at " + std::to_string(fresh[i].expires);
                }
            }
        }
        if (!why.empty()) {
            rank[i] = kRefused;
            continue;
        }
        rank[i] = kNewest;
        freshestSerial = std::max(freshestSerial, fresh[i].serial);
    }
    {
        std::lock_guard<std::mutex> guard(stateLock);
        for (size_t i = 0; i < servers.size(); ++i) {
            if (rank[i] == kNewest && fresh[i].serial < freshestSerial) {
                rank[i] = kOlder;
            } else if (rank[i] != kNoAnswer && rank[i] != kRefused && stalledServers.count(servers[i])) {
                rank[i] = kStalledBefore;
            }
            const bool offersNewest = results[i].answeredFresh && refusal[i].empty() && rank[i] != kOlder;
            if (offersNewest) freshClaims[servers[i]] = {fresh[i].serial, fresh[i].listSha256};
        }
    }

    std::vector<size_t> order(servers.size());
    std::iota(order.begin(), order.end(), size_t{0});
    const auto key = [&](size_t i) {
        return std::make_tuple(rank[i], results[i].latency < 0 ? INT64_MAX : results[i].latency);
    };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });

    std::vector<std::wstring> sorted;
    sorted.reserve(servers.size());
    for (const size_t i : order) {
        const std::wstring host = HostOf(servers[i]);
        LogFormat("Patcher: mirror %ls latency %lld ms", host.c_str(), static_cast<long long>(results[i].latency));
        if (rank[i] == kOlder) {
            // A mirror that holds players on an older list gets nothing of this pass.
            LogFormat("Patcher: mirror %ls offers list serial %lld, older than %lld on another mirror; not used in "
                      "this pass",
                      host.c_str(), static_cast<long long>(fresh[i].serial), static_cast<long long>(freshestSerial));
            continue;
        }
        if (rank[i] == kRefused) {
            LogFormat("Patcher: mirror %ls: freshness object refused (%s); tried after the others", host.c_str(),
                      refusal[i].c_str());
        } else if (rank[i] == kStalledBefore) {
            LogFormat("Patcher: mirror %ls stalled a transfer before; tried after the others", host.c_str());
        }
        sorted.push_back(servers[i]);
    }
    const int64_t best = results[order.front()].latency;
    servers = std::move(sorted);

    if (callbacks.status) {
        std::string text = "Server: " + WideToUtf8(HostOf(servers.front()));
        if (best >= 0) text += " (" + std::to_string(best) + " ms)";
        callbacks.status(text);
    }
}

bool Patcher::ListMatchesProbe(const std::string& text, const std::wstring& url) {
    if (freshestSerial < 0) return true;  // no mirror of this pass has a freshness object
    const ListSeal seal = ReadListSeal(text);
    const int64_t serial = seal.hasSerial ? seal.serial : 0;
    // Out of range, the server part is empty: what follows a base URL.
    const std::wstring tail = BuildUrlOn(SIZE_MAX, config.listFile);
    const auto claim = std::find_if(freshClaims.begin(), freshClaims.end(),
                                    [&](const auto& c) { return url == c.first + tail; });
    if (claim == freshClaims.end()) {
        if (serial >= freshestSerial) return true;
        LogFormat("Patcher: the patch list from %ls has serial %lld, older than %lld on offer; trying another server",
                  HostOf(url).c_str(), static_cast<long long>(serial), static_cast<long long>(freshestSerial));
        return false;
    }
    const std::string sha = Sha256Hex(text.data(), text.size());
    if (serial == claim->second.first && sha == claim->second.second) return true;
    LogFormat("Patcher: the patch list from %ls (serial %lld, SHA-256 %s) is not the one its freshness object "
              "names (serial %lld, SHA-256 %s); trying another server",
              HostOf(url).c_str(), static_cast<long long>(serial), sha.c_str(),
              static_cast<long long>(claim->second.first), claim->second.second.c_str());
    return false;
}

}  // namespace vr

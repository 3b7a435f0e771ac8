#include <algorithm>
#include <climits>
#include <memory>
#include <numeric>
#include <system_error>
#include <thread>

#include "patcher/patcher.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

// What one probe thread owns: it writes only its own latency slot.
struct ProbeJob {
    size_t index;
    std::wstring url;
    Http http;  // a copy of the patcher's, so probes share the pass's session
    std::vector<int64_t>* latencies;
    const std::atomic<bool>* cancel;
};

void RunProbe(std::unique_ptr<ProbeJob> job) { (*job->latencies)[job->index] = job->http.Probe(job->url, job->cancel); }

}  // namespace

void Patcher::SelectFastestServer(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks) {
    currentServer = 0;
    if (servers.size() < 2) return;
    if (callbacks.status) callbacks.status("Selecting fastest server...");

    std::vector<int64_t> latencies(servers.size(), -1);
    std::vector<std::thread> threads;
    threads.reserve(servers.size());
    for (size_t i = 0; i < servers.size(); ++i) {
        // Joined as they stand: the probe asks for the same object the pass
        // fetches next, the compressed list.
        const std::wstring url = servers[i] + config.listFile + L".gz";
        auto job = std::make_unique<ProbeJob>(ProbeJob{i, url, http, &latencies, &cancel});
        try {
            threads.emplace_back(RunProbe, std::move(job));
        } catch (const std::system_error&) {
            // A probe that cannot start counts as a failed one.
        }
    }
    for (std::thread& t : threads) t.join();

    std::vector<size_t> order(servers.size());
    std::iota(order.begin(), order.end(), size_t{0});
    const auto key = [&](size_t i) { return latencies[i] < 0 ? INT64_MAX : latencies[i]; };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });

    std::vector<std::wstring> sorted;
    sorted.reserve(servers.size());
    for (const size_t i : order) {
        LogFormat("Patcher: mirror %ls latency %lld ms", HostOf(servers[i]).c_str(),
                  static_cast<long long>(latencies[i]));
        sorted.push_back(servers[i]);
    }
    const int64_t best = latencies[order.front()];
    servers = std::move(sorted);

    if (callbacks.status) {
        std::string text = "Server: " + WideToUtf8(HostOf(servers.front()));
        if (best >= 0) text += " (" + std::to_string(best) + " ms)";
        callbacks.status(text);
    }
}

}  // namespace vr

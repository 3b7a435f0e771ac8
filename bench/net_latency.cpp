// Whole passes over an emulated long link (the loopback latency proxy of
// tests/support) and under the bandwidth cap:
//
//   bench_net_latency.exe [--small N] [--rtt MS] [--big-mib M] [--pipe-mbit R] [--cap-mib S]
//
//  1. N files of 2 KiB at RTT ms: Patcher::Run with connections=1 against
//     the shipped default, same run (defaults 2000, 50), then with 8 and 16
//     connections as extra rows, to show where the speed-up comes from.
//     Each pass gets a link of its own, so none finds connections a
//     previous one left open.
//  2. 4 files of M MiB (default 8) at RTT ms, each connection held to R
//     Mbit/s (default 100): the download phase's rate against what four
//     such pipes carry (and the whole pass's rate beside it).
//  3. The cap at 1 MiB/s and 10 MiB/s on loopback: the download phase's rate
//     against the cap, over about S seconds of data each (default 8).
// Prints figures only; never fails on timing.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/launcher_config.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/latency_proxy.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

using vr::test::Noise;

// Publishes `count` files of `size` noise bytes; returns their compressed total.
uint64_t Publish(vr::test::HttpServer& server, int count, size_t size) {
    std::string list = "v 29\n";
    uint64_t gzBytes = 0;
    for (int i = 0; i < count; ++i) {
        const std::string gz = vr::test::Gzip(Noise(size, static_cast<uint32_t>(i + 1)), 1);
        gzBytes += gz.size();
        server.Serve("/f" + std::to_string(i) + ".bin.gz", gz);
        list += "f 1600000000 " + std::to_string(size) + " 0 f" + std::to_string(i) + ".bin\n";
    }
    server.Serve("/list.txt.gz", vr::test::Gzip(list));
    return gzBytes;
}

struct Pass {
    double total = 0;     // the whole Run
    double download = 0;  // from the "downloading" phase to the end
    int result = -1;
    int done = 0;
};

Pass RunPass(const std::wstring& url, int connections, int maxKiBps) {
    vr::LauncherConfig config;
    config.mirrors = {url};
    config.serverUrl = url;
    config.patchVersion = 29;
    config.connections = connections;
    config.maxKiBps = maxKiBps;
    vr::test::TempDir game;
    vr::Patcher patcher(config, game.path());
    std::atomic<bool> cancel{false};
    Pass pass;
    Clock::time_point downloading{};
    vr::PatchCallbacks callbacks;
    callbacks.phase = [&](const std::string& p) {
        if (p == "downloading") downloading = Clock::now();
    };
    callbacks.filesDone = [&](int d, int) { pass.done = d; };
    const auto t0 = Clock::now();
    pass.result = static_cast<int>(patcher.Run(cancel, callbacks));
    const auto t1 = Clock::now();
    pass.total = Seconds(t0, t1);
    pass.download = Seconds(downloading, t1);
    return pass;
}

double Arg(int argc, char** argv, const char* name, double fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == name) return std::atof(argv[i + 1]);
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int small = static_cast<int>(Arg(argc, argv, "--small", 2000));
    const int rtt = static_cast<int>(Arg(argc, argv, "--rtt", 50));
    const double bigMib = Arg(argc, argv, "--big-mib", 8);
    const double pipeMbit = Arg(argc, argv, "--pipe-mbit", 100);
    const double capSeconds = Arg(argc, argv, "--cap-mib", 8);
    const int defaultConnections = vr::LauncherConfig().connections;

    if (small > 0) {
        vr::test::HttpServer server;
        Publish(server, small, 2048);
        std::printf("1. %d files of 2 KiB at %d ms round trip\n", small, rtt);
        std::fflush(stdout);
        double oneTotal = 0;
        for (const int connections : {1, defaultConnections, 8, 16}) {
            vr::test::LatencyProxy link(server.Port(), static_cast<uint32_t>(rtt / 2));
            const Pass pass = RunPass(link.WUrl(), connections, 0);
            if (connections == 1) oneTotal = pass.total;
            // The download phase's time per file on each connection: one
            // round trip is the floor.
            const double perFile = pass.download * 1000 * connections / small;
            std::printf("   connections=%-2d: %6.2f s, %.1f ms per file per connection, speed-up %.2fx, "
                        "%d connections opened (result %d, %d files)\n",
                        connections, pass.total, perFile, oneTotal / pass.total, link.Connections(), pass.result,
                        pass.done);
            std::fflush(stdout);
        }
    }

    if (bigMib > 0) {
        vr::test::HttpServer server;
        const uint64_t gz = Publish(server, 4, static_cast<size_t>(bigMib * 1048576));
        const double perPipe = pipeMbit * 1e6 / 8;  // bytes per second
        vr::test::LatencyProxy link(server.Port(), static_cast<uint32_t>(rtt / 2), static_cast<uint64_t>(perPipe));
        const Pass pass = RunPass(link.WUrl(), defaultConnections, 0);
        const double rate = static_cast<double>(gz) / pass.download;
        std::printf("2. 4 files of %.0f MiB at %d ms round trip, %.0f Mbit/s per connection\n", bigMib, rtt, pipeMbit);
        std::printf("   download phase %.2f s (whole pass %.2f s), %.1f MiB/s; four pipes carry %.1f MiB/s\n",
                    pass.download, pass.total, rate / 1048576, 4 * perPipe / 1048576);
        std::printf("   ratio to the pipes: %.2f (whole pass, list and scan included: %.2f) (result %d, %d files)\n",
                    rate / (4 * perPipe), gz / pass.total / (4 * perPipe), pass.result, pass.done);
        std::fflush(stdout);
    }

    if (capSeconds > 0) {
        std::printf("3. bandwidth cap on loopback, connections=%d\n", defaultConnections);
        for (const int capKiB : {1024, 10240}) {
            vr::test::HttpServer server;
            const size_t per = static_cast<size_t>(capKiB * 1024.0 * capSeconds / 8);
            const uint64_t gz = Publish(server, 8, per);
            const Pass pass = RunPass(server.WUrl(), defaultConnections, capKiB);
            const double rate = static_cast<double>(gz) / pass.download;
            std::printf("   cap %5d KiB/s: %.1f MiB in %.2f s = %.0f KiB/s, ratio to the cap %.3f (result %d)\n",
                        capKiB, gz / 1048576.0, pass.download, rate / 1024, rate / 1024 / capKiB, pass.result);
            std::fflush(stdout);
        }
    }
    return 0;
}

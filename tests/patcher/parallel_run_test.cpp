// Passes with several downloads in flight: reports stay in list order, the
// first final failure stops the rest and decides the result, cancel stops
// every transfer, and the server choice is shared. Some run through the
// latency proxy, so transfers really overlap.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "patch_fixture.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/latency_proxy.h"
#include "support/test_data.h"

namespace vr {
namespace {

using test::Gzip;
using test::HttpServer;
using test::LatencyProxy;
using test::Noise;
using test::Reply;

// A body that trickles: pieces of 4 KiB, `delayMs` apart.
Reply Slow(const std::string& bytes, uint32_t delayMs) {
    Reply r = Reply::Ok(Gzip(bytes));
    r.throttleBytes = 4096;
    r.throttleDelayMs = delayMs;
    return r;
}

std::string FileName(int i) { return "f" + std::to_string(i) + ".dat"; }
std::string Content(int i) { return "content of file " + std::to_string(i); }
constexpr int64_t kMtime = 1600000000;

class ParallelRunTest : public ::testing::Test {
protected:
    // Lists and serves f0..f(n-1) with Content(i), or the bytes `bodies` gives.
    void Publish(HttpServer& server, int n, std::map<int, std::string> bodies = {}) {
        std::string list = "v 29\n";
        for (int i = 0; i < n; ++i) {
            const std::string bytes = bodies.count(i) ? bodies[i] : Content(i);
            list += "f " + std::to_string(kMtime) + " " + std::to_string(bytes.size()) + " 0 " + FileName(i) + "\n";
            server.Serve("/" + FileName(i) + ".gz", Gzip(bytes));
        }
        server.Serve("/list.txt.gz", Gzip(list));
    }
    Patcher Make(const std::vector<std::wstring>& urls, int connections) {
        LauncherConfig c = test::ConfigFor(urls);
        c.connections = connections;
        return Patcher(c, game.path(), test::QuickPauses());
    }
    std::wstring Path(int i) const { return game.Join(Utf8ToWide(FileName(i))); }

    test::TempDir game;
    std::atomic<bool> cancel{false};
    test::Recorder rec;
};

// The page's rules: "done k/n" for k = 1..n in order, each right after the
// closing "progress 100" of file k, and every progress line naming the
// first file not yet done.
void ExpectListOrder(const std::vector<std::string>& events, int n) {
    int done = 0;
    std::string last;
    for (const std::string& e : events) {
        if (e.rfind("progress ", 0) == 0) {
            EXPECT_NE(e.find(" " + FileName(done)), std::string::npos) << e << " while file " << done << " is due";
        } else if (e.rfind("done ", 0) == 0) {
            EXPECT_EQ(e, "done " + std::to_string(done + 1) + "/" + std::to_string(n));
            EXPECT_EQ(last, "progress 100 " + FileName(done));
            ++done;
        }
        last = e;
    }
    EXPECT_EQ(done, n);
}

TEST_F(ParallelRunTest, ReportsStayInListOrderWhileLaterFilesFinishFirst) {
    HttpServer server;
    // f0 trickles; the small files behind it finish first over a 50 ms
    // round trip and wait for their turn to be reported.
    Publish(server, 10, {{0, Noise(64 << 10, 1)}});
    server.Set("/f0.dat.gz", Slow(Noise(64 << 10, 1), 60));
    LatencyProxy link(server.Port(), 25);
    Patcher p = Make({link.WUrl()}, 4);
    std::vector<int> askedWhenFirstDone;
    PatchCallbacks c = rec.Callbacks();
    const auto record = c.filesDone;
    c.filesDone = [&](int d, int t) {
        for (int i = 1; d == 1 && i < 4; ++i)
            askedWhenFirstDone.push_back(server.CountRequests("/" + FileName(i) + ".gz"));
        record(d, t);
    };
    EXPECT_EQ(p.Run(cancel, c), PatchResult::Finished);
    ExpectListOrder(rec.events, 10);
    // The three connections beside f0's were busy before f0 ended.
    EXPECT_EQ(askedWhenFirstDone, (std::vector<int>{1, 1, 1}));
    // The list, its warm-up and the files share at most four connections.
    EXPECT_LE(link.Connections(), 4);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(test::UnixMtime(Path(i)), kMtime) << FileName(i);
    EXPECT_EQ(game.Read(L"f0.dat"), Noise(64 << 10, 1));
}

TEST_F(ParallelRunTest, TheFirstFinalFailureStopsTheOthersAndDecidesTheResult) {
    HttpServer server;
    Publish(server, 6, {{0, Noise(256 << 10, 2)}});
    server.Set("/f0.dat.gz", Slow(Noise(256 << 10, 2), 40));
    // f2's 404 comes late; before it, f3 (a folder in the game) fails at once
    // on the connection f1 left, so f3's failure is the first.
    Reply missing = Reply::Status(404);
    missing.statusDelayMs = 500;
    server.Set("/f2.dat.gz", missing);
    game.MakeDir(L"f3.dat");
    game.Write(L"f0.dat", "stale copy of f0");
    LatencyProxy link(server.Port(), 10);
    Patcher p = Make({link.WUrl()}, 3);

    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::WriteFailed);
    EXPECT_EQ(p.WriteFailedPath(), Path(3));
    // f0 was in flight: cut off, and neither its partial nor its stale copy stays.
    EXPECT_FALSE(game.Exists(L"f0.dat"));
    EXPECT_EQ(server.CountRequests("/f0.dat.gz"), 1);
    // f1 completed beside them and is kept, stamped, though never reported.
    EXPECT_EQ(game.Read(L"f1.dat"), Content(1));
    EXPECT_EQ(test::UnixMtime(Path(1)), kMtime);
    EXPECT_EQ(rec.Count("done 1/6"), 0);
    EXPECT_EQ(server.CountRequests("/f4.dat.gz") + server.CountRequests("/f5.dat.gz"), 0);
}

TEST_F(ParallelRunTest, CancelStopsEveryTransferAndLeavesNoPartialFile) {
    HttpServer server;
    std::map<int, std::string> bodies;
    for (int i = 0; i < 5; ++i) bodies[i] = Noise(128 << 10, 10 + i);
    Publish(server, 5, bodies);
    // Each body would take about 12 s to arrive in full.
    for (int i = 0; i < 5; ++i) server.Set("/" + FileName(i) + ".gz", Slow(bodies[i], 400));
    LatencyProxy link(server.Port(), 10);
    Patcher p = Make({link.WUrl()}, 3);
    PatchCallbacks c = rec.Callbacks();
    c.fileProgress = [&](int, double, double, const std::wstring&) { cancel = true; };
    EXPECT_EQ(p.Run(cancel, c), PatchResult::PatchCancelled);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(game.Exists(Utf8ToWide(FileName(i)))) << FileName(i);
    EXPECT_EQ(server.CountRequests("/f3.dat.gz") + server.CountRequests("/f4.dat.gz"), 0);
    EXPECT_EQ(rec.Count("done 1/5"), 0);
}

TEST_F(ParallelRunTest, RetriesAndTheServerSwitchAreSharedByThePass) {
    HttpServer s1, s2;
    Publish(s1, 8);
    Publish(s2, 8);
    // s1 answers the probe first; f1 always fails there, so the pass moves
    // to s2, announced once, and stays there.
    Reply slowList = Reply::Ok(Gzip("v 29\n"));
    slowList.statusDelayMs = 300;
    s2.FailFirst("/list.txt.gz", 1, slowList);
    s1.Set("/f1.dat.gz", Reply::Status(500));
    Patcher p = Make({s2.WUrl(), s1.WUrl()}, 2);
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(p.CurrentServer(), 1u);
    EXPECT_EQ(s1.CountRequests("/f1.dat.gz"), 6);
    EXPECT_EQ(rec.Count("status Network Error! Retrying..."), 5);
    EXPECT_EQ(rec.Count("status Switching to server: " + WideToUtf8(HostOf(s2.WUrl()))), 1);
    ExpectListOrder(rec.events, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(game.Read(Utf8ToWide(FileName(i))), Content(i));
}

}  // namespace
}  // namespace vr

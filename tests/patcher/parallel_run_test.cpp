// Passes with several downloads in flight: reports stay in list order, one
// file's final failure stops the rest, cancel stops every transfer, the
// server choice is shared, and the bandwidth cap holds for the whole pass.
// Some run through the latency proxy, so transfers really overlap.
#include <gtest/gtest.h>

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
using test::Reply;

using vr::test::Noise;

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
    // Lists files f0..f(n-1) and serves each (plain unless `replies` says
    // otherwise) on `server`.
    // `sizes` gives the listed size of a file whose reply is overridden.
    void Publish(HttpServer& server, int n, const std::vector<std::pair<int, Reply>>& replies = {},
                 const std::vector<std::pair<int, size_t>>& sizes = {}) {
        std::string list = "v 29\n";
        for (int i = 0; i < n; ++i) {
            size_t size = Content(i).size();
            for (const auto& [k, listed] : sizes) {
                if (k == i) size = listed;
            }
            list += "f " + std::to_string(kMtime) + " " + std::to_string(size) + " 0 " + FileName(i) + "\n";
            server.Serve("/" + FileName(i) + ".gz", Gzip(Content(i)));
        }
        for (const auto& [i, reply] : replies) server.Set("/" + FileName(i) + ".gz", reply);
        server.Serve("/list.txt.gz", Gzip(list));
    }
    Patcher Make(const std::vector<std::wstring>& urls, int connections, int maxKiBps = 0) {
        LauncherConfig c = test::ConfigFor(urls);
        c.connections = connections;
        c.maxKiBps = maxKiBps;
        return Patcher(c, game.path(), test::QuickPauses());
    }
    std::wstring Path(int i) const { return game.Join(Utf8ToWide(FileName(i))); }

    test::TempDir game;
    test::LogCapture log;
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
    // f0 trickles for a while; the small files behind it finish first over
    // a 50 ms round trip and must wait for their turn to be reported.
    Publish(server, 10, {{0, Slow(Noise(64 << 10, 1), 60)}}, {{0, 64 << 10}});
    LatencyProxy link(server.Port(), 25);
    Patcher p = Make({link.WUrl()}, 4);
    std::vector<int> askedWhenFirstDone;
    PatchCallbacks c = rec.Callbacks();
    const auto record = c.filesDone;
    c.filesDone = [&](int d, int t) {
        if (d == 1) {
            for (int i = 1; i < 4; ++i) askedWhenFirstDone.push_back(server.CountRequests("/" + FileName(i) + ".gz"));
        }
        record(d, t);
    };

    EXPECT_EQ(p.Run(cancel, c), PatchResult::Finished);
    ExpectListOrder(rec.events, 10);
    EXPECT_EQ(rec.events.back(), "phase finished");
    // The three connections beside f0's were busy before f0 ended.
    EXPECT_EQ(askedWhenFirstDone, (std::vector<int>{1, 1, 1}));
    // One session: the list and the files share at most four connections.
    EXPECT_LE(link.Connections(), 4);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(test::UnixMtime(Path(i)), kMtime) << FileName(i);
    }
    EXPECT_EQ(game.Read(L"f0.dat"), Noise(64 << 10, 1));
    EXPECT_EQ(game.Read(L"f9.dat"), Content(9));
}

TEST_F(ParallelRunTest, AFinalFailureStopsTheOthersAndKeepsCompletedFiles) {
    HttpServer server;
    // f2's 404 comes late enough for f1 beside it to have completed.
    Reply missing = Reply::Status(404);
    missing.statusDelayMs = 500;
    Publish(server, 6, {{0, Slow(Noise(256 << 10, 2), 40)}, {2, missing}}, {{0, 256 << 10}});
    game.Write(L"f0.dat", "stale copy of f0");
    LatencyProxy link(server.Port(), 10);
    Patcher p = Make({link.WUrl()}, 3);

    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::FileMissing);
    EXPECT_EQ(p.LastUrl(), link.WUrl() + L"f2.dat.gz");
    // f0 was in flight: cut off, and neither its partial nor its stale copy stays.
    EXPECT_FALSE(game.Exists(L"f0.dat"));
    EXPECT_FALSE(game.Exists(L"f2.dat"));
    EXPECT_EQ(server.CountRequests("/f0.dat.gz"), 1);
    // f1 completed beside them and is kept, stamped, though never reported.
    EXPECT_EQ(game.Read(L"f1.dat"), Content(1));
    EXPECT_EQ(test::UnixMtime(Path(1)), kMtime);
    EXPECT_EQ(rec.Count("done 1/6"), 0);
    EXPECT_EQ(rec.Count("phase finished"), 0);
    // Whatever else ran is either complete and stamped or gone.
    for (int i = 3; i < 6; ++i) {
        if (game.Exists(Utf8ToWide(FileName(i)))) {
            EXPECT_EQ(test::UnixMtime(Path(i)), kMtime) << FileName(i);
        }
    }
}

TEST_F(ParallelRunTest, CancelStopsEveryTransferAndLeavesNoPartialFile) {
    HttpServer server;
    std::vector<std::pair<int, Reply>> slow;
    // Each body would take about 12 s to arrive in full.
    std::vector<std::pair<int, size_t>> sizes;
    for (int i = 0; i < 5; ++i) {
        slow.push_back({i, Slow(Noise(128 << 10, 10 + i), 400)});
        sizes.push_back({i, 128 << 10});
    }
    Publish(server, 5, slow, sizes);
    LatencyProxy link(server.Port(), 10);
    Patcher p = Make({link.WUrl()}, 3);
    PatchCallbacks c = rec.Callbacks();
    const auto record = c.fileProgress;
    c.fileProgress = [&](int percent, double speed, double mb, const std::wstring& file) {
        cancel = true;
        record(percent, speed, mb, file);
    };

    EXPECT_EQ(p.Run(cancel, c), PatchResult::PatchCancelled);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(game.Exists(Utf8ToWide(FileName(i)))) << FileName(i);
    EXPECT_EQ(server.CountRequests("/f3.dat.gz") + server.CountRequests("/f4.dat.gz"), 0);
    EXPECT_EQ(rec.Count("done 1/5"), 0);
    EXPECT_EQ(rec.Count("phase finished"), 0);
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

TEST_F(ParallelRunTest, TheBandwidthCapHoldsForAllConnectionsTogether) {
    HttpServer server;
    // 4 x 160 KiB that barely compress, 640 KiB at 256 KiB/s: at least 2.5 s
    // in all. A cap per connection would let four of them through in 0.6 s.
    std::vector<std::pair<int, Reply>> bodies;
    std::vector<std::pair<int, size_t>> sizes;
    for (int i = 0; i < 4; ++i) {
        bodies.push_back({i, Reply::Ok(Gzip(Noise(160 << 10, 20 + i)))});
        sizes.push_back({i, 160 << 10});
    }
    Publish(server, 4, bodies, sizes);
    Patcher p = Make({server.WUrl()}, 4, 256);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    // Only a lower bound: a slow machine can make it longer, never shorter.
    EXPECT_GE(GetTickCount64() - start, 2000u);
    EXPECT_EQ(game.Read(L"f3.dat"), Noise(160 << 10, 23));
}

}  // namespace
}  // namespace vr

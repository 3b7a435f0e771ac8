// One file's download and the mirror choice, against loopback servers:
// retries, failover, damaged bodies, cancel, probes.
#include <gtest/gtest.h>

#include "patch_fixture.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/test_data.h"

namespace vr {
namespace {

using test::Gzip;
using test::HttpServer;
using test::Reply;

class DownloadTest : public ::testing::Test {
protected:
    Patcher Make(const std::vector<const HttpServer*>& list) {
        std::vector<std::wstring> urls;
        for (const HttpServer* s : list) urls.push_back(s->WUrl());
        Patcher::Seams seams;
        seams.pause = [this](uint32_t ms) {
            pauses.push_back(ms);
            if (cancelInPause) cancel = true;
        };
        return Patcher(test::ConfigFor(urls), game.path(), seams);
    }
    HttpStatus Get(Patcher& p, const std::wstring& name) {
        return p.DownloadToFile(name, game.Join(name), cancel, rec.Callbacks());
    }

    test::TempDir game;
    std::atomic<bool> cancel{false};
    test::Recorder rec;
    HttpServer s1, s2, s3;
    std::vector<uint32_t> pauses;  // slices asked of the pause seam
    bool cancelInPause = false;
};

// Six attempts per server with a 2 s pause (20 slices of 100 ms) between
// them, a 404 moves on at once, servers never wrap around, and the last
// server's answer is the result.
TEST_F(DownloadTest, RetriesFailoverAndTheLastServerDecides) {
    s1.Set("/a.dat.gz", Reply::Status(503));
    s2.Set("/a.dat.gz", Reply::Status(500));
    Patcher p = Make({&s1, &s2, &s3});
    EXPECT_EQ(Get(p, L"a.dat"), HttpStatus::NotFound);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 6);
    EXPECT_EQ(s2.CountRequests("/a.dat.gz"), 6);
    EXPECT_EQ(s3.CountRequests("/a.dat.gz"), 1);
    EXPECT_EQ(rec.Count("status Network Error! Retrying..."), 10);
    EXPECT_EQ(rec.Count("status Switching to server: 127.0.0.1:" + std::to_string(s2.Port())), 1);
    EXPECT_EQ(pauses, std::vector<uint32_t>(10 * 20, 100u));
    EXPECT_EQ(p.LastUrl(), s3.WUrl() + L"a.dat.gz");

    s3.Serve("/b.dat.gz", Gzip("bee"));
    EXPECT_EQ(Get(p, L"b.dat"), HttpStatus::Ok);
    EXPECT_EQ(s1.CountRequests("/b.dat.gz") + s2.CountRequests("/b.dat.gz"), 0);
    EXPECT_EQ(game.Read(L"b.dat"), "bee");

    // A 404 first, then a failing last server: failed.
    s3.Set("/c.dat.gz", Reply::Status(500));
    Patcher q = Make({&s1, &s3});
    EXPECT_EQ(Get(q, L"c.dat"), HttpStatus::Failed);
    EXPECT_EQ(s1.CountRequests("/c.dat.gz"), 1);
}

TEST_F(DownloadTest, DamagedBodiesAreRetried) {
    const std::string data = test::Noise(100000, 3);
    const std::string gz = Gzip(data);
    Reply truncated = Reply::Ok(gz), dropped = Reply::Ok(gz), corrupt = Reply::Ok(gz);
    truncated.truncateAt = gz.size() / 2;
    dropped.dropAfter = gz.size() / 3;
    corrupt.corruptAt = {2};  // the method byte: damage inside DEFLATE data may decode silently
    s1.Serve("/f.gz", gz);
    Patcher p = Make({&s1});
    for (const Reply& fault : {truncated, dropped, corrupt, Reply::Ok(data.substr(0, 1000)), Reply::Ok("")}) {
        s1.FailFirst("/f.gz", 2, fault);
        ASSERT_EQ(Get(p, L"f"), HttpStatus::Ok);
        EXPECT_TRUE(game.Read(L"f") == data);  // nothing of a failed attempt is left in front
        std::string text = "old";
        s1.FailFirst("/f.gz", 1, fault);
        ASSERT_EQ(p.DownloadToString(L"f", text, cancel, {}), HttpStatus::Ok);
        EXPECT_TRUE(text == data);
    }
    EXPECT_EQ(s1.CountRequests("/f.gz"), 5 * 5);
}

TEST_F(DownloadTest, CancelEndsTheRetryPauseAndNoRequestFollows) {
    s1.Set("/a.gz", Reply::Status(500));
    cancelInPause = true;
    Patcher p = Make({&s1});
    EXPECT_EQ(Get(p, L"a"), HttpStatus::Cancelled);
    EXPECT_EQ(pauses.size(), 1u);  // the flag is read before every slice
    EXPECT_EQ(Get(p, L"a"), HttpStatus::Cancelled);
    EXPECT_EQ(s1.CountRequests("/a.gz"), 1);
}

// Probes ask every mirror for the list at once: the fastest comes first,
// failed ones (404, 500) last, equal times keep the configured order, and
// the next pass starts on the first.
TEST_F(DownloadTest, MirrorsAreSortedByTheirProbes) {
    Reply slow = Reply::Ok(Gzip("v 29\n")), fast = slow;
    slow.statusDelayMs = 400;
    s1.Set("/list.txt.gz", slow);
    s2.Set("/list.txt.gz", fast);
    Patcher p = Make({&s3, &s1, &s2});
    PatcherTestAccess::SetCurrentServer(p, 2);  // the last pass's choice
    p.SelectFastestServer(cancel, rec.Callbacks());
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{s2.WUrl(), s1.WUrl(), s3.WUrl()}));
    EXPECT_EQ(p.CurrentServer(), 0u);
    EXPECT_EQ(rec.events.back().rfind("status Server: 127.0.0.1:" + std::to_string(s2.Port()) + " (", 0), 0u);

    s1.Set("/list.txt.gz", Reply::Status(500));
    s2.Set("/list.txt.gz", Reply::Status(500));
    Patcher q = Make({&s2, &s3, &s1});
    q.SelectFastestServer(cancel, {});
    EXPECT_EQ(q.Servers(), (std::vector<std::wstring>{s2.WUrl(), s3.WUrl(), s1.WUrl()}));
    Make({&s1}).SelectFastestServer(cancel, {});  // a lone server is not probed
    EXPECT_EQ(s1.CountRequests("/list.txt.gz"), 2);
}

}  // namespace
}  // namespace vr

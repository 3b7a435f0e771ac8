// One file's download against loopback mirrors: retries, failover, damaged
// bodies, progress and cancel.
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

constexpr char kRetry[] = "status Network Error! Retrying...";

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
    EXPECT_EQ(rec.Count(kRetry), 10);
    EXPECT_EQ(rec.Count("status Switching to server: 127.0.0.1:" + std::to_string(s2.Port())), 1);
    EXPECT_EQ(pauses, std::vector<uint32_t>(10 * 20, 100u));
    EXPECT_EQ(p.LastUrl(), s3.WUrl() + L"a.dat.gz");
    EXPECT_EQ(p.CurrentServer(), 2u);

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
    // Damage inside the DEFLATE data may decode silently (the trailer is not
    // checked), so the damaged byte is the method byte of the header.
    corrupt.corruptAt = {2};
    s1.Serve("/f.gz", gz);
    Patcher p = Make({&s1});
    int n = 0;
    for (const Reply& fault : {truncated, dropped, corrupt, Reply::Ok(data.substr(0, 1000)), Reply::Ok("")}) {
        SCOPED_TRACE(n++);
        s1.ClearRequests();
        s1.FailFirst("/f.gz", 2, fault);
        ASSERT_EQ(Get(p, L"f"), HttpStatus::Ok);
        EXPECT_EQ(s1.CountRequests("/f.gz"), 3);
        EXPECT_TRUE(game.Read(L"f") == data);  // nothing of a failed attempt is left in front
        std::string text = "old";
        s1.FailFirst("/f.gz", 1, fault);
        ASSERT_EQ(p.DownloadToString(L"f", text, cancel, {}), HttpStatus::Ok);
        EXPECT_TRUE(text == data);
    }
}

TEST_F(DownloadTest, ProgressAndCounters) {
    const std::string gz = Gzip(test::Noise(256 << 10, 4), 1);
    Reply sized = Reply::Ok(gz);
    sized.throttleBytes = 16 << 10;
    sized.throttleDelayMs = 1;
    Reply unsized = sized;
    unsized.contentLength = false;
    s1.Set("/sized.gz", sized);
    s1.Set("/unsized.gz", unsized);
    s1.Serve("/list.gz", Gzip("text"));
    Patcher p = Make({&s1});
    std::vector<int> percents;
    PatchCallbacks c;
    c.fileProgress = [&](int pct, double, double, const std::wstring&) { percents.push_back(pct); };

    ASSERT_EQ(p.DownloadToFile(L"sized", game.Join(L"sized"), cancel, c), HttpStatus::Ok);
    ASSERT_GE(percents.size(), 2u);
    EXPECT_LT(percents.front(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(p.BytesReceived(), static_cast<int64_t>(gz.size()));

    // Without a length every report but the last says 0 %.
    percents.clear();
    ASSERT_EQ(p.DownloadToFile(L"unsized", game.Join(L"unsized"), cancel, c), HttpStatus::Ok);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(std::count(percents.begin(), percents.end(), 0), static_cast<long>(percents.size()) - 1);

    // The list neither counts bytes nor reports progress.
    percents.clear();
    std::string text;
    ASSERT_EQ(p.DownloadToString(L"list", text, cancel, c), HttpStatus::Ok);
    EXPECT_TRUE(percents.empty());
    EXPECT_EQ(p.BytesReceived(), 2 * static_cast<int64_t>(gz.size()));
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

}  // namespace
}  // namespace vr

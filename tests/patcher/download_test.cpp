// Downloads against real loopback mirrors: retries, failover, cancel, paths.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "patch_fixture.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"

namespace vr {
namespace {

using test::Gzip;
using test::HttpServer;
using test::Reply;
using Clock = std::chrono::steady_clock;

constexpr char kRetry[] = "status Network Error! Retrying...";

std::string Payload(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>((seed >> 16) % 7 == 0 ? seed >> 8 : 'a' + (seed >> 20) % 3);
    }
    return s;
}

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class DownloadTest : public ::testing::Test {
protected:
    Patcher Make(const std::vector<const HttpServer*>& list) {
        std::vector<std::wstring> urls;
        for (const HttpServer* s : list) urls.push_back(s->WUrl());
        Patcher::Seams seams = test::QuickPauses();
        seams.pause = [this](uint32_t ms) {
            pauses.push_back(ms);
            Sleep(1);
        };
        return Patcher(test::ConfigFor(urls), game.path(), realPauses ? Patcher::Seams() : seams);
    }
    std::string Switch(const HttpServer& s) {
        return "status Switching to server: 127.0.0.1:" + std::to_string(s.Port());
    }

    test::TempDir game;
    test::LogCapture log;
    std::atomic<bool> cancel{false};
    test::Recorder rec;
    HttpServer s1, s2, s3;
    std::vector<uint32_t> pauses;  // slices asked of the pause seam
    bool realPauses = false;       // Make gives the shipped pause
};

TEST_F(DownloadTest, OneFailingServerGetsSixAttempts) {
    s1.Set("/a.dat.gz", Reply::Status(500));
    Patcher p = Make({&s1});
    EXPECT_EQ(p.DownloadToFile(L"a.dat", game.Join(L"a.dat"), cancel, rec.Callbacks()), HttpStatus::Failed);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 6);
    EXPECT_EQ(rec.Count(kRetry), 5);
    // Each retry waits 2 s as 20 slices of 100 ms.
    EXPECT_EQ(pauses, std::vector<uint32_t>(5 * 20, 100u));
    for (const auto& e : rec.events) EXPECT_EQ(e.find("Switching"), std::string::npos) << e;
    EXPECT_EQ(p.LastUrl(), s1.WUrl() + L"a.dat.gz");

    std::string text = "untouched";
    EXPECT_EQ(p.DownloadToString(L"a.dat", text, cancel, {}), HttpStatus::Failed);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 12);
}

TEST_F(DownloadTest, NotFoundMovesOnAtOnceAndStays) {
    const std::string a = Payload(100000, 1), b = Payload(5000, 2);
    s2.Serve("/a.dat.gz", Gzip(a));
    s1.Serve("/b.dat.gz", Gzip(b));
    s2.Serve("/b.dat.gz", Gzip(b));
    Patcher p = Make({&s1, &s2});
    ASSERT_EQ(p.DownloadToFile(L"a.dat", game.Join(L"a.dat"), cancel, rec.Callbacks()), HttpStatus::Ok);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 1);
    EXPECT_EQ(rec.Count(kRetry), 0);  // a retry pause always announces itself
    EXPECT_EQ(rec.Count(Switch(s2)), 1);
    EXPECT_EQ(p.CurrentServer(), 1u);
    EXPECT_TRUE(game.Read(L"a.dat") == a);
    EXPECT_EQ(p.LastUrl(), s2.WUrl() + L"a.dat.gz");

    // The next file starts on the server that worked.
    ASSERT_EQ(p.DownloadToFile(L"b.dat", game.Join(L"b.dat"), cancel, rec.Callbacks()), HttpStatus::Ok);
    EXPECT_EQ(s1.CountRequests("/b.dat.gz"), 0);
    EXPECT_TRUE(game.Read(L"b.dat") == b);
    EXPECT_EQ(p.CurrentServer(), 1u);
    EXPECT_EQ(s1.Requests().front().userAgent, "VeltruneClient/1.0");
}

TEST_F(DownloadTest, LastServerDecidesTheResult) {
    // Network errors on the first two, 404 on the last: not found.
    s1.Set("/a.dat.gz", Reply::Status(503));
    s2.Set("/a.dat.gz", Reply::Status(500));
    Patcher p = Make({&s1, &s2, &s3});
    EXPECT_EQ(p.DownloadToFile(L"a.dat", game.Join(L"a.dat"), cancel, rec.Callbacks()), HttpStatus::NotFound);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 6);
    EXPECT_EQ(s2.CountRequests("/a.dat.gz"), 6);
    EXPECT_EQ(s3.CountRequests("/a.dat.gz"), 1);
    EXPECT_EQ(rec.Count(kRetry), 10);
    EXPECT_EQ(p.LastUrl(), s3.WUrl() + L"a.dat.gz");
    EXPECT_EQ(p.CurrentServer(), 2u);

    // Never wraps around: the next file starts, and ends, on the last server.
    EXPECT_EQ(p.DownloadToFile(L"b.dat", game.Join(L"b.dat"), cancel, {}), HttpStatus::NotFound);
    EXPECT_EQ(s1.CountRequests("/b.dat.gz") + s2.CountRequests("/b.dat.gz"), 0);

    // 404 first, then a failing last server: failed.
    s3.Set("/c.dat.gz", Reply::Status(500));
    Patcher q = Make({&s1, &s3});
    EXPECT_EQ(q.DownloadToFile(L"c.dat", game.Join(L"c.dat"), cancel, {}), HttpStatus::Failed);

    Patcher none = Make({&s1});
    PatcherTestAccess::ClearServers(none);
    EXPECT_EQ(none.DownloadToFile(L"c.dat", game.Join(L"c.dat"), cancel, {}), HttpStatus::Failed);
    std::string out;
    EXPECT_EQ(none.DownloadToString(L"c.dat", out, cancel, {}), HttpStatus::Failed);
}

TEST_F(DownloadTest, TargetThatIsAFolderAborts) {
    s1.Serve("/dir.gz", Gzip("x"));
    game.MakeDir(L"dir");
    Patcher p = Make({&s1, &s2});
    EXPECT_EQ(p.DownloadToFile(L"dir", game.Join(L"dir"), cancel, rec.Callbacks()), HttpStatus::Aborted);
    EXPECT_EQ(s1.CountRequests("/dir.gz") + s2.CountRequests("/dir.gz"), 0);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_TRUE(log.Has("Patcher: cannot open " + WideToUtf8(game.Join(L"dir")) + " for writing (err "));
    EXPECT_EQ(p.CurrentServer(), 0u);
}

TEST_F(DownloadTest, DamagedBodiesAreRetried) {
    const std::string data = Payload(300000, 3);
    const std::string gz = Gzip(data);
    Reply truncated = Reply::Ok(gz);
    truncated.truncateAt = gz.size() / 2;
    Reply dropped = Reply::Ok(gz);
    dropped.dropAfter = gz.size() / 3;
    // Damage inside the DEFLATE data may decode silently (the trailer is not
    // checked), so the damaged byte is the method byte of the header.
    Reply corrupt = Reply::Ok(gz);
    corrupt.corruptAt = {2};
    Reply notGzip = Reply::Ok(data.substr(0, 1000));
    Reply empty = Reply::Ok("");

    s1.Serve("/f.gz", gz);
    Patcher p = Make({&s1});
    int n = 0;
    for (const Reply& fault : {truncated, dropped, corrupt, notGzip, empty}) {
        SCOPED_TRACE(n++);
        s1.ClearRequests();
        s1.FailFirst("/f.gz", 2, fault);
        rec.events.clear();
        ASSERT_EQ(p.DownloadToFile(L"f", game.Join(L"f"), cancel, rec.Callbacks()), HttpStatus::Ok);
        EXPECT_EQ(s1.CountRequests("/f.gz"), 3);
        EXPECT_EQ(rec.Count(kRetry), 2);
        EXPECT_TRUE(game.Read(L"f") == data);  // nothing of a failed attempt is left in front

        std::string text = "old";
        s1.FailFirst("/f.gz", 1, fault);
        ASSERT_EQ(p.DownloadToString(L"f", text, cancel, {}), HttpStatus::Ok);
        EXPECT_TRUE(text == data);
    }
}

TEST_F(DownloadTest, ProgressAndCounters) {
    const std::string data = Payload(2 * 1024 * 1024, 4);
    const std::string gz = Gzip(data, 1);
    Reply sized = Reply::Ok(gz);
    sized.throttleBytes = 64 * 1024;
    sized.throttleDelayMs = 1;
    Reply unsized = sized;
    unsized.contentLength = false;
    s1.Set("/sized.gz", sized);
    s1.Set("/unsized.gz", unsized);
    s1.Serve("/list.gz", Gzip("text"));
    Patcher p = Make({&s1});

    std::vector<int> percents;
    std::vector<double> doneMb;
    std::vector<std::wstring> files;
    PatchCallbacks c;
    c.fileProgress = [&](int pct, double speed, double mb, const std::wstring& f) {
        percents.push_back(pct);
        doneMb.push_back(mb);
        files.push_back(f);
        EXPECT_GE(speed, 0.0);
    };
    ASSERT_EQ(p.DownloadToFile(L"sized", game.Join(L"sized"), cancel, c), HttpStatus::Ok);
    ASSERT_GE(percents.size(), 2u);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_LT(percents.front(), 100);
    for (size_t i = 1; i < percents.size(); ++i) EXPECT_GE(percents[i], percents[i - 1]);
    EXPECT_EQ(p.BytesReceived(), static_cast<int64_t>(gz.size()));
    EXPECT_DOUBLE_EQ(doneMb.back(), gz.size() / 1048576.0);
    EXPECT_EQ(files.back(), L"sized");

    percents.clear();
    ASSERT_EQ(p.DownloadToFile(L"unsized", game.Join(L"unsized"), cancel, c), HttpStatus::Ok);
    ASSERT_GE(percents.size(), 2u);
    for (size_t i = 0; i + 1 < percents.size(); ++i) EXPECT_EQ(percents[i], 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(p.BytesReceived(), 2 * static_cast<int64_t>(gz.size()));
    EXPECT_TRUE(game.Read(L"unsized") == data);

    // The list download neither counts bytes nor reports progress.
    percents.clear();
    std::string text;
    ASSERT_EQ(p.DownloadToString(L"list", text, cancel, c), HttpStatus::Ok);
    EXPECT_EQ(text, "text");
    EXPECT_TRUE(percents.empty());
    EXPECT_EQ(p.BytesReceived(), 2 * static_cast<int64_t>(gz.size()));
}

TEST_F(DownloadTest, PathsArePercentEncodedOnTheWire) {
    s1.Serve("/Data/My%20File%23%C3%A9.dat.gz", Gzip("ok"));
    Patcher p = Make({&s1});
    ASSERT_EQ(p.DownloadToFile(L"Data\\My File#\u00e9.dat", game.Join(L"x.dat"), cancel, {}), HttpStatus::Ok);
    EXPECT_EQ(game.Read(L"x.dat"), "ok");
    EXPECT_EQ(p.LastUrl(), s1.WUrl() + L"Data/My%20File%23%C3%A9.dat.gz");
}

TEST_F(DownloadTest, RetryPauseInRealTime) {
    s1.Serve("/a.gz", Gzip("abc"));
    s1.FailFirst("/a.gz", 1, Reply::Status(500));
    realPauses = true;  // the shipped pause
    Patcher p = Make({&s1});
    const auto start = Clock::now();
    ASSERT_EQ(p.DownloadToFile(L"a", game.Join(L"a"), cancel, rec.Callbacks()), HttpStatus::Ok);
    EXPECT_GE(MsSince(start), 1900);
    EXPECT_EQ(rec.Count(kRetry), 1);
}

TEST_F(DownloadTest, CancelDuringRetryPauseEndsQuickly) {
    s1.Set("/a.gz", Reply::Status(500));
    realPauses = true;
    Patcher p = Make({&s1});
    std::atomic<bool> retrying{false};
    PatchCallbacks c;
    c.status = [&](const std::string&) { retrying = true; };
    Clock::time_point cancelledAt;
    std::thread canceller([&] {
        for (int i = 0; i < 500 && !retrying; ++i) Sleep(10);
        Sleep(700);  // well inside the 2 s pause
        cancelledAt = Clock::now();
        cancel = true;
    });
    const HttpStatus r = p.DownloadToFile(L"a", game.Join(L"a"), cancel, c);
    const auto end = Clock::now();
    canceller.join();
    EXPECT_EQ(r, HttpStatus::Cancelled);
    EXPECT_EQ(s1.CountRequests("/a.gz"), 1);
    // About 1.3 s of the pause were left; a 100 ms slice ends well before.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(end - cancelledAt).count(), 600);

    // A flag already set stops before any request.
    EXPECT_EQ(p.DownloadToFile(L"a", game.Join(L"a"), cancel, c), HttpStatus::Cancelled);
    EXPECT_EQ(s1.CountRequests("/a.gz"), 1);
}

}  // namespace
}  // namespace vr

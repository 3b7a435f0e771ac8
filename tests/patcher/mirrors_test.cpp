// Mirror choice against real loopback servers whose answers are delayed.
#include <gtest/gtest.h>

#include <chrono>

#include "patch_fixture.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"

namespace vr {
namespace {

using test::HttpServer;
using test::Reply;

Reply Delayed(uint32_t ms) {
    Reply r = Reply::Ok(test::Gzip("v 29\n"));
    r.statusDelayMs = ms;
    return r;
}

std::string Host(const HttpServer& s) { return "127.0.0.1:" + std::to_string(s.Port()); }

class MirrorTest : public ::testing::Test {
protected:
    Patcher Make(const std::vector<const HttpServer*>& list) {
        std::vector<std::wstring> urls;
        for (const HttpServer* s : list) urls.push_back(s->WUrl());
        return Patcher(test::ConfigFor(urls), game.path());
    }
    test::TempDir game;
    test::LogCapture log;
    std::atomic<bool> cancel{false};
    test::Recorder rec;
    HttpServer s1, s2, s3;
};

TEST_F(MirrorTest, FastestFirstFailedLast) {
    s1.Set("/list.txt.gz", Delayed(600));
    s2.Set("/list.txt.gz", Delayed(0));
    // s3 has no list: 404 counts as a failed probe.
    Patcher p = Make({&s3, &s1, &s2});
    PatcherTestAccess::SetCurrentServer(p, 2);
    p.SelectFastestServer(cancel, rec.Callbacks());
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{s2.WUrl(), s1.WUrl(), s3.WUrl()}));
    EXPECT_EQ(p.CurrentServer(), 0u);

    ASSERT_EQ(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[0], "status Selecting fastest server...");
    const std::string head = "status Server: " + Host(s2) + " (";
    EXPECT_EQ(rec.events[1].rfind(head, 0), 0u) << rec.events[1];
    EXPECT_EQ(rec.events[1].substr(rec.events[1].size() - 4), " ms)");

    const std::string text = log.Text();
    const size_t fast = text.find("Patcher: mirror " + Host(s2) + " latency ");
    const size_t slow = text.find("Patcher: mirror " + Host(s1) + " latency ");
    const size_t failed = text.find("Patcher: mirror " + Host(s3) + " latency -1 ms");
    ASSERT_NE(fast, std::string::npos);
    ASSERT_NE(slow, std::string::npos);
    ASSERT_NE(failed, std::string::npos);
    EXPECT_LT(fast, slow);
    EXPECT_LT(slow, failed);

    // The probe asks for the compressed list itself, once per server.
    for (const HttpServer* s : {&s1, &s2, &s3}) {
        ASSERT_EQ(s->Requests().size(), 1u);
        EXPECT_EQ(s->Requests()[0].path, "/list.txt.gz");
        EXPECT_EQ(s->Requests()[0].userAgent, "VeltruneClient/1.0");
    }
}

TEST_F(MirrorTest, AllFailedKeepConfiguredOrder) {
    s2.Set("/list.txt.gz", Reply::Status(500));
    Patcher p = Make({&s3, &s1, &s2});
    p.SelectFastestServer(cancel, rec.Callbacks());
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{s3.WUrl(), s1.WUrl(), s2.WUrl()}));
    EXPECT_EQ(rec.events.back(), "status Server: " + Host(s3));
    EXPECT_EQ(log.Count(" latency -1 ms"), 3);

    // Equal times (here: all failed) keep their order even among answering ones.
    s1.Set("/list.txt.gz", Delayed(0));
    Patcher q = Make({&s2, &s3, &s1});
    q.SelectFastestServer(cancel, {});
    EXPECT_EQ(q.Servers(), (std::vector<std::wstring>{s1.WUrl(), s2.WUrl(), s3.WUrl()}));
}

TEST_F(MirrorTest, SingleServerProbesNothing) {
    s1.Set("/list.txt.gz", Delayed(0));
    Patcher p = Make({&s1});
    p.SelectFastestServer(cancel, rec.Callbacks());
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(s1.Requests().size(), 0u);
    EXPECT_EQ(log.Count("Patcher: mirror"), 0);
    EXPECT_EQ(p.Servers(), std::vector<std::wstring>{s1.WUrl()});
}

TEST_F(MirrorTest, ProbesRunTogether) {
    for (HttpServer* s : {&s1, &s2, &s3}) s->Set("/list.txt.gz", Delayed(1500));
    Patcher p = Make({&s1, &s2, &s3});
    const auto start = std::chrono::steady_clock::now();
    p.SelectFastestServer(cancel, {});
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    // One after another would take at least 4.5 s.
    EXPECT_LT(ms, 4000);
    EXPECT_EQ(log.Count(" latency -1 ms"), 0);
}

}  // namespace
}  // namespace vr

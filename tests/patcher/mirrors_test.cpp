// Mirror choice against loopback servers whose answers are delayed.
#include <gtest/gtest.h>

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

TEST(MirrorTest, FastestFirstFailedLastEqualTimesKeepTheirOrder) {
    test::TempDir game;
    std::atomic<bool> cancel{false};
    HttpServer s1, s2, s3;  // s3 has no list: a 404 is a failed probe
    s1.Set("/list.txt.gz", Delayed(400));
    s2.Set("/list.txt.gz", Delayed(0));
    const auto make = [&](std::vector<const HttpServer*> list) {
        std::vector<std::wstring> urls;
        for (const HttpServer* s : list) urls.push_back(s->WUrl());
        return Patcher(test::ConfigFor(urls), game.path());
    };
    Patcher p = make({&s3, &s1, &s2});
    PatcherTestAccess::SetCurrentServer(p, 2);  // the last pass's choice
    test::Recorder rec;
    p.SelectFastestServer(cancel, rec.Callbacks());
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{s2.WUrl(), s1.WUrl(), s3.WUrl()}));
    EXPECT_EQ(p.CurrentServer(), 0u);
    const std::string shown = "status Server: 127.0.0.1:" + std::to_string(s2.Port()) + " (";
    EXPECT_EQ(rec.events.back().rfind(shown, 0), 0u) << rec.events.back();
    for (const HttpServer* s : {&s1, &s2, &s3}) EXPECT_EQ(s->CountRequests("/list.txt.gz"), 1);

    // All failed: the configured order stays.
    s1.Set("/list.txt.gz", Reply::Status(500));
    s2.Set("/list.txt.gz", Reply::Status(500));
    Patcher q = make({&s2, &s3, &s1});
    q.SelectFastestServer(cancel, {});
    EXPECT_EQ(q.Servers(), (std::vector<std::wstring>{s2.WUrl(), s3.WUrl(), s1.WUrl()}));

    // A lone server is not probed.
    make({&s1}).SelectFastestServer(cancel, {});
    EXPECT_EQ(s1.CountRequests("/list.txt.gz"), 2);
}

}  // namespace
}  // namespace vr

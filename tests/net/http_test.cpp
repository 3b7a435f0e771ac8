// The WinHTTP client against the loopback test server.
#include "net/http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/http_server.h"
#include "support/latency_proxy.h"
#include "support/log_capture.h"
#include "support/test_data.h"
#include "text/text.h"

namespace vr {
namespace {

using test::HttpServer;
using test::Noise;
using test::Reply;

class HttpTest : public ::testing::Test {
protected:
    std::wstring UrlOf(const std::string& path) const { return server.WUrl() + Utf8ToWide(path); }
    test::LogCapture log;
    HttpServer server;
    Http http;
};

TEST_F(HttpTest, StreamsTheBodyInBlocksWithRunningProgress) {
    const std::string body = Noise(300000, 1);
    server.Serve("/big.bin.gz", body);
    std::string got;
    uint64_t largest = 0;
    int reports = 0;
    EXPECT_EQ(http.Get(
                  UrlOf("big.bin.gz"),
                  [&](const uint8_t* data, uint64_t size) {
                      got.append(reinterpret_cast<const char*>(data), size);
                      largest = std::max(largest, size);
                      return true;
                  },
                  [&](uint64_t received, uint64_t total) {
                      ++reports;
                      EXPECT_EQ(received, got.size());
                      EXPECT_EQ(total, body.size());
                  },
                  nullptr),
              HttpStatus::Ok);
    EXPECT_TRUE(got == body);
    EXPECT_GT(reports, 1);
    EXPECT_LE(largest, 65536u) << "one 64 KiB buffer per connection";
    // A bare GET with our agent: no encoding or range headers.
    const test::RecordedRequest request = server.Requests().at(0);
    EXPECT_EQ(request.method + " " + request.path + " " + request.userAgent, "GET /big.bin.gz VeltruneClient/1.0");
    EXPECT_EQ(request.Header("Accept-Encoding") + request.Header("Range"), "");
}

TEST_F(HttpTest, StatusCodesMapToResults) {
    const struct {
        int code;
        HttpStatus get;
        bool probed;
        const char* log;
    } rows[] = {
        {200, HttpStatus::Ok, true, ""},
        {300, HttpStatus::Ok, true, ""},  // a 3xx WinHTTP does not follow still carries its body
        {404, HttpStatus::NotFound, false, ""},
        {400, HttpStatus::Failed, false, "Http: status 400"},
        {500, HttpStatus::Failed, false, "Http: status 500"},
        {503, HttpStatus::Failed, false, "Http: status 503"},
    };
    for (const auto& row : rows) {
        server.Set("/s", Reply::Status(row.code, "body"));
        std::vector<std::string> expected = log.Lines();
        if (*row.log) expected.push_back(row.log);
        std::string out;
        EXPECT_EQ(http.GetBytes(UrlOf("s"), out, nullptr), row.get) << row.code;
        EXPECT_EQ(out, row.get == HttpStatus::Ok ? "body" : "") << row.code;
        EXPECT_EQ(http.Probe(UrlOf("s"), nullptr) >= 0, row.probed) << row.code;
        EXPECT_EQ(log.Lines(), expected) << row.code << ": Get logs a failed status, Probe nothing";
    }
    Reply redirect = Reply::Status(302, "moved");
    redirect.headers.emplace_back("Location", "/target");
    server.Set("/moved", redirect);
    server.Serve("/target", "the target");
    std::string out;
    EXPECT_EQ(http.GetBytes(UrlOf("moved"), out, nullptr), HttpStatus::Ok);
    EXPECT_EQ(out, "the target");
}

TEST_F(HttpTest, BodyFramingsEarlyEndsAndLimits) {
    const std::string body = Noise(200000, 2);
    Reply closeDelimited = Reply::Ok(body), chunked = Reply::Ok(body), truncated = Reply::Ok(body),
          dropped = Reply::Ok(body);
    closeDelimited.contentLength = false;
    chunked.chunked = true;
    truncated.truncateAt = 1000;  // the framing says complete; only the receiver can tell
    dropped.dropAfter = 50000;    // shorter than its Content-Length: a failure
    server.Set("/close", closeDelimited);
    server.Set("/chunked", chunked);
    server.Set("/truncated", truncated);
    server.Set("/dropped", dropped);
    server.Serve("/empty", "");
    const struct {
        const char* path;
        HttpStatus status;
        size_t size;
    } rows[] = {{"close", HttpStatus::Ok, body.size()}, {"chunked", HttpStatus::Ok, body.size()},
                {"truncated", HttpStatus::Ok, 1000},    {"empty", HttpStatus::Ok, 0},
                {"dropped", HttpStatus::Failed, 50000}};
    for (const auto& row : rows) {
        std::string out;
        EXPECT_EQ(http.GetBytes(UrlOf(row.path), out, nullptr), row.status) << row.path;
        EXPECT_TRUE(out == body.substr(0, row.status == HttpStatus::Ok ? row.size : out.size())) << row.path;
        EXPECT_LE(out.size(), row.size) << row.path;
    }
    // GetBytes takes at most its limit; a longer body is refused.
    std::string out;
    EXPECT_EQ(http.GetBytes(UrlOf("truncated"), out, nullptr, 1000), HttpStatus::Ok);
    EXPECT_EQ(http.GetBytes(UrlOf("close"), out, nullptr, 100000), HttpStatus::Aborted);
    EXPECT_LE(out.size(), 100000u);
}

TEST_F(HttpTest, CancelIsSeenBeforeEveryRead) {
    server.Serve("/file", Noise(400000, 4));
    std::atomic<bool> cancel{true};
    std::string out;
    EXPECT_EQ(http.GetBytes(UrlOf("file"), out, &cancel), HttpStatus::Cancelled);
    EXPECT_EQ(out, "");
    EXPECT_EQ(http.Probe(UrlOf("file"), &cancel), -1);
    // Raised while the body streams: the transfer stops at the next read.
    cancel = false;
    const auto raise = [&](const uint8_t*, uint64_t) { return cancel = true; };
    EXPECT_EQ(http.Get(UrlOf("file"), raise, ProgressFn(), &cancel), HttpStatus::Cancelled);
}

TEST_F(HttpTest, BadUrlsAndDeadServersFail) {
    std::wstring deadUrl;
    {
        HttpServer gone;
        deadUrl = gone.WUrl() + L"x";
    }
    std::string out = "stale";
    EXPECT_EQ(http.GetBytes(deadUrl, out, nullptr), HttpStatus::Failed);
    EXPECT_EQ(out, "");
    EXPECT_EQ(http.Probe(deadUrl, nullptr), -1);
    // A URL that does not split, or names no host, is one log line; Probe logs nothing.
    const std::vector<std::wstring> bad = {L"", L"no-scheme/file.gz", L"http:///path-without-host",
                                           L"http://" + std::wstring(256, L'h') + L"/f",
                                           server.WUrl() + std::wstring(2047, L'p')};
    for (const std::wstring& url : bad) {
        EXPECT_EQ(http.GetBytes(url, out, nullptr), HttpStatus::Failed) << WideToUtf8(url).substr(0, 30);
        EXPECT_EQ(http.Probe(url, nullptr), -1);
    }
    EXPECT_EQ(log.Lines(), std::vector<std::string>(bad.size(), "Http: bad url"));
    EXPECT_TRUE(server.Requests().empty());
    // A query string stays part of the requested path.
    server.Serve("/api/guilds/123/widget.json?v=2", "{}");
    EXPECT_EQ(http.GetBytes(server.WUrl() + L"api/guilds/123/widget.json?v=2", out, nullptr), HttpStatus::Ok);
    EXPECT_EQ(out, "{}");
}

// One session for a pass: its connections stay alive between requests and
// serve copies on other threads; probes leave their bodies unread, also on
// servers that close after every answer, without troubling what follows.
TEST_F(HttpTest, ASessionKeepsConnectionsAliveAndProbesLeaveThemClean) {
    const std::string list = Noise(300000, 8);
    server.Serve("/list.txt.gz", list);
    Reply oldServer = Reply::Ok("old list");
    oldServer.http10 = true;
    server.Set("/old/list.txt.gz", oldServer);
    HttpServer mirror;
    mirror.Set("/old/list.txt.gz", oldServer);
    test::LatencyProxy link(server.Port(), 1);
    const std::wstring base = link.WUrl();
    ASSERT_TRUE(http.BeginSession());

    int64_t ms[2] = {-1, -1};
    std::thread a([&] { ms[0] = http.Probe(base + L"old/list.txt.gz", nullptr); });
    std::thread b([&] { ms[1] = http.Probe(mirror.WUrl() + L"old/list.txt.gz", nullptr); });
    a.join();
    b.join();
    EXPECT_GE(std::min(ms[0], ms[1]), 0);
    std::string out;
    for (const std::wstring& url : {base + L"old/list.txt.gz", mirror.WUrl() + L"old/list.txt.gz"}) {
        EXPECT_EQ(http.GetBytes(url, out, nullptr), HttpStatus::Ok);
        EXPECT_EQ(out, "old list");
    }
    EXPECT_GE(http.Probe(base + L"list.txt.gz", nullptr), 0);
    EXPECT_EQ(http.GetBytes(base + L"list.txt.gz", out, nullptr), HttpStatus::Ok);
    EXPECT_TRUE(out == list);
    const int afterList = link.Connections();
    const Http copy = http;  // a parallel download's view of the same session
    std::thread([&] {
        for (int i = 0; i < 3; ++i) EXPECT_EQ(copy.GetBytes(base + L"list.txt.gz", out, nullptr), HttpStatus::Ok);
    }).join();
    EXPECT_EQ(link.Connections(), afterList) << "requests of a session reuse its connection";
    http.EndSession();
    EXPECT_EQ(copy.GetBytes(base + L"list.txt.gz", out, nullptr), HttpStatus::Ok);  // the copy keeps it open
}

// Warming opens kept-alive connections ahead of need, whether the server has
// the object or not; outside a session it sends nothing.
TEST_F(HttpTest, WarmedConnectionsCarryTheRequestsThatFollow) {
    const std::string list = Noise(100000, 11);
    server.Serve("/list.txt.gz", list);
    test::LatencyProxy link(server.Port(), 1);
    const std::wstring url = link.WUrl() + L"list.txt.gz";
    EXPECT_FALSE(http.Warm(url));
    EXPECT_TRUE(server.Requests().empty());

    ASSERT_TRUE(http.BeginSession());
    std::vector<std::thread> threads;
    for (const std::wstring& to : {url, url, link.WUrl() + L"missing"})
        threads.emplace_back([&, to] { EXPECT_TRUE(http.Warm(to)); });
    for (std::thread& t : threads) t.join();
    threads.clear();
    std::vector<std::string> got(3);
    for (std::string& out : got)
        threads.emplace_back([&] { EXPECT_EQ(http.GetBytes(url, out, nullptr), HttpStatus::Ok); });
    for (std::thread& t : threads) t.join();
    for (const std::string& out : got) EXPECT_TRUE(out == list);
    EXPECT_EQ(link.Connections(), 3) << "the downloads ran on the warmed connections";
    const auto requests = server.Requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](const auto& r) { return r.method == "HEAD"; }), 3);
}

}  // namespace
}  // namespace vr

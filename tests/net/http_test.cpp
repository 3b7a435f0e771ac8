// The WinHTTP client against the loopback test server.
#include "net/http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/test_data.h"
#include "text/text.h"

namespace vr {
namespace {

using test::Reply;

class HttpTest : public ::testing::Test {
protected:
    HttpTest() { server.Serve("/big.bin.gz", big); }  // a body of many receive blocks
    std::wstring UrlOf(const std::string& path) const { return server.WUrl() + Utf8ToWide(path); }
    test::LogCapture log;
    test::HttpServer server;
    Http http;
    const std::string big = test::Noise(300000, 1);
};

TEST_F(HttpTest, StreamsTheBodyWithAProgressReportAfterEachBlock) {
    std::string got;
    std::vector<std::pair<uint64_t, uint64_t>> reports;  // bytes not yet handed on, total
    const auto chunk = [&](const uint8_t* d, uint64_t n) {
        got.append(reinterpret_cast<const char*>(d), n);
        return true;
    };
    const auto progress = [&](uint64_t received, uint64_t total) {
        reports.emplace_back(received - got.size(), total);
    };
    EXPECT_EQ(http.Get(UrlOf("big.bin.gz"), chunk, progress, nullptr), HttpStatus::Ok);
    EXPECT_EQ(got, big);
    EXPECT_GT(reports.size(), 1u);
    EXPECT_EQ(reports, decltype(reports)(reports.size(), {0, big.size()}));
    const test::RecordedRequest request = server.Requests().at(0);  // a bare GET with our agent
    EXPECT_EQ(request.method + " " + request.userAgent + request.Header("Accept-Encoding"), "GET VeltruneClient/1.0");
}

// The flag is looked at before every read, the first one too.
TEST_F(HttpTest, ACancelSetBeforehandReadsNothing) {
    std::atomic<bool> cancel{true};
    std::string got;
    EXPECT_EQ(http.GetBytes(UrlOf("big.bin.gz"), got, &cancel), HttpStatus::Cancelled);
    EXPECT_EQ(http.Probe(UrlOf("big.bin.gz"), &cancel), -1);
}

TEST_F(HttpTest, ACancelRaisedWhileReceivingEndsTheTransfer) {
    std::atomic<bool> cancel{false};
    const auto raise = [&](const uint8_t*, uint64_t) { return cancel = true; };
    EXPECT_EQ(http.Get(UrlOf("big.bin.gz"), raise, ProgressFn(), &cancel), HttpStatus::Cancelled);
}

TEST_F(HttpTest, StatusCodesMapToResults) {
    // Get's result and whether Probe takes the server; Get logs a failed status, Probe nothing.
    const std::tuple<int, HttpStatus, bool> rows[] = {{200, HttpStatus::Ok, true},
                                                      {300, HttpStatus::Ok, true},  // not followed: its body counts
                                                      {404, HttpStatus::NotFound, false},
                                                      {500, HttpStatus::Failed, false}};
    for (const auto& [code, result, probed] : rows) {
        server.Set("/s", Reply::Status(code, "body"));
        std::vector<std::string> expected = log.Lines();
        if (result == HttpStatus::Failed) expected.push_back("Http: status " + std::to_string(code));
        std::string out;
        EXPECT_EQ(http.GetBytes(UrlOf("s"), out, nullptr), result) << code;
        EXPECT_EQ(out, result == HttpStatus::Ok ? "body" : "") << code;
        EXPECT_EQ(http.Probe(UrlOf("s"), nullptr) >= 0, probed) << code;
        EXPECT_EQ(log.Lines(), expected) << code;
    }
}

TEST_F(HttpTest, EarlyEndsAndLimits) {
    const std::string body = test::Noise(200000, 2);
    Reply closeDelimited = Reply::Ok(body), truncated = Reply::Ok(body), dropped = Reply::Ok(body);
    closeDelimited.contentLength = false;
    truncated.truncateAt = 1000;  // the framing says complete; only the receiver can tell
    dropped.dropAfter = 50000;    // shorter than its Content-Length: a failure
    server.Set("/close", closeDelimited);
    server.Set("/truncated", truncated);
    server.Set("/dropped", dropped);
    std::string out;
    EXPECT_EQ(http.GetBytes(UrlOf("close"), out, nullptr), HttpStatus::Ok);
    EXPECT_EQ(out, body);
    EXPECT_EQ(http.GetBytes(UrlOf("truncated"), out, nullptr), HttpStatus::Ok);
    EXPECT_EQ(out, body.substr(0, 1000));
    EXPECT_EQ(http.GetBytes(UrlOf("dropped"), out, nullptr), HttpStatus::Failed);
    // GetBytes takes at most its limit; a longer body is refused.
    EXPECT_EQ(http.GetBytes(UrlOf("truncated"), out, nullptr, 1000), HttpStatus::Ok);
    EXPECT_EQ(http.GetBytes(UrlOf("close"), out, nullptr, 100000), HttpStatus::Aborted);
    EXPECT_LE(out.size(), 100000u);
}

TEST_F(HttpTest, UrlsThatDoNotSplitOrNameNoHostAreOneLogLine) {
    const std::wstring bad[] = {L"no-scheme/file.gz", L"http:///path-without-host",
                                server.WUrl() + std::wstring(2047, L'p')};
    std::string out;
    for (const std::wstring& url : bad) {
        EXPECT_EQ(http.GetBytes(url, out, nullptr), HttpStatus::Failed) << WideToUtf8(url).substr(0, 30);
        EXPECT_EQ(http.Probe(url, nullptr), -1);
    }
    EXPECT_EQ(log.Lines(), std::vector<std::string>(std::size(bad), "Http: bad url"));
}

// Warming sends HEAD, and only in a session (the patcher's parallel runs show
// the warmed connections carrying the downloads). A probe on the session
// leaves nothing behind that the next request would wait on.
TEST_F(HttpTest, WarmingAndProbingInASession) {
    server.Serve("/list.txt.gz", "list");
    EXPECT_FALSE(http.Warm(UrlOf("list.txt.gz")));
    ASSERT_TRUE(http.BeginSession());
    EXPECT_TRUE(http.Warm(UrlOf("list.txt.gz")));
    EXPECT_TRUE(http.Warm(UrlOf("missing")));
    EXPECT_GE(http.Probe(UrlOf("list.txt.gz"), nullptr), 0);
    std::string out;
    EXPECT_EQ(http.GetBytes(UrlOf("list.txt.gz"), out, nullptr), HttpStatus::Ok);
    EXPECT_EQ(out, "list");
    const auto requests = server.Requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](const auto& r) { return r.method == "HEAD"; }), 2);
}

}  // namespace
}  // namespace vr

// The WinHTTP client against the loopback test server.
#include "net/http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "support/http_server.h"
#include "support/latency_proxy.h"
#include "support/log_capture.h"
#include "support/test_data.h"
#include "text/text.h"

namespace vr {
namespace {

using test::Reply;

class HttpTest : public ::testing::Test {
protected:
    std::wstring UrlOf(const std::string& path) const { return server.WUrl() + Utf8ToWide(path); }
    test::LogCapture log;
    test::HttpServer server;
    Http http;
};

TEST_F(HttpTest, StreamsTheBodyWithRunningProgressUntilCancelled) {
    const std::string body = test::Noise(300000, 1);
    server.Serve("/big.bin.gz", body);
    std::string got;
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    const auto chunk = [&](const uint8_t* data, uint64_t size) {
        got.append(reinterpret_cast<const char*>(data), size);
        return true;
    };
    const auto progress = [&](uint64_t received, uint64_t total) {
        reports.emplace_back(received - got.size(), total);
    };
    EXPECT_EQ(http.Get(UrlOf("big.bin.gz"), chunk, progress, nullptr), HttpStatus::Ok);
    EXPECT_TRUE(got == body);
    EXPECT_GT(reports.size(), 1u);
    EXPECT_EQ(reports, decltype(reports)(reports.size(), {0, body.size()})) << "each report after its block";
    const test::RecordedRequest request = server.Requests().at(0);  // a bare GET with our agent
    EXPECT_EQ(request.method + " " + request.userAgent + request.Header("Accept-Encoding"), "GET VeltruneClient/1.0");
    // The flag is read before every read, the first one too.
    std::atomic<bool> cancel{true};
    EXPECT_EQ(http.GetBytes(UrlOf("big.bin.gz"), got, &cancel), HttpStatus::Cancelled);
    EXPECT_EQ(http.Probe(UrlOf("big.bin.gz"), &cancel), -1);
    cancel = false;
    const auto raise = [&](const uint8_t*, uint64_t) { return cancel = true; };
    EXPECT_EQ(http.Get(UrlOf("big.bin.gz"), raise, ProgressFn(), &cancel), HttpStatus::Cancelled);
}

TEST_F(HttpTest, StatusCodesMapToResults) {
    // Get's result and whether Probe takes the server; Get logs a failed status, Probe nothing.
    const std::tuple<int, HttpStatus, bool> rows[] = {{200, HttpStatus::Ok, true},
                                                      {300, HttpStatus::Ok, true},  // not followed: its body counts
                                                      {404, HttpStatus::NotFound, false},
                                                      {400, HttpStatus::Failed, false},
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
    EXPECT_TRUE(out == body);
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
    EXPECT_TRUE(server.Requests().empty());
}

// A pass's session keeps its connections alive for the requests that follow,
// also for copies on other threads; a probe on it closes its own. Warming
// opens connections ahead of need with HEAD, whether the object is there or
// not, and only in a session.
TEST_F(HttpTest, ASessionAndItsWarmedConnectionsCarryTheRequestsThatFollow) {
    const std::string list = test::Noise(100000, 11);
    server.Serve("/list.txt.gz", list);
    test::LatencyProxy link(server.Port(), 1);
    const std::wstring url = link.WUrl() + L"list.txt.gz";
    EXPECT_FALSE(http.Warm(url));
    ASSERT_TRUE(http.BeginSession());
    EXPECT_GE(http.Probe(url, nullptr), 0);
    std::vector<std::thread> threads;
    for (const std::wstring& to : {url, url, link.WUrl() + L"missing"})
        threads.emplace_back([&, to] { EXPECT_TRUE(http.Warm(to)); });
    for (std::thread& t : threads) t.join();
    threads.clear();
    const int warmed = link.Connections();
    std::vector<std::string> got(3);
    const Http copy = http;  // a parallel download's view of the same session
    for (std::string& out : got)
        threads.emplace_back([&] { EXPECT_EQ(copy.GetBytes(url, out, nullptr), HttpStatus::Ok); });
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(got == decltype(got)(3, list));
    EXPECT_EQ(link.Connections(), warmed) << "the downloads ran on the warmed connections";
    const auto requests = server.Requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](const auto& r) { return r.method == "HEAD"; }), 3);
}

}  // namespace
}  // namespace vr

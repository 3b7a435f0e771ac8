// The widget fetch: forwarding, failures, repetition, and a launcher that
// closes while a fetch is still waiting for the network.
#include "bridge/discord.h"

#include "bridge_fixture.h"

namespace vr::test {
namespace {

using DiscordTest = BridgeTest;

constexpr char kFetched[] = "Discord: widget fetched";
constexpr char kFailed[] = "Discord: widget fetch failed (is the server widget enabled?)";

// The recording host, shared without ownership, as a job holds its host.
std::shared_ptr<IHostActions> Borrow(RecordingHost& host) {
    return {&host, [](IHostActions*) {}};
}

TEST_F(DiscordTest, TheBodyTravelsByteForByteAsOneJsonString) {
    LogCapture log;
    const std::string body =
        "{\"id\":\"42\",\"name\":\"Quorvane \\\"EU\\\"\",\"members\":[{\"username\":\"Zo\xC3\xAB \xE2\x9C\x93\"}],"
        "\"raw\":\"tab\there\\\\\"}\n<not json at all>";
    server.Serve("/api/guilds/42/widget.json", body);
    DiscordFetchJob job;
    job.guildId = L"42";
    job.host = Borrow(host);
    job.apiBase = seams.discordApiBase;
    FetchDiscordWidget(std::move(job));

    ASSERT_EQ(host.EventCount(), 1u);
    const std::string event = host.Events()[0];
    EXPECT_EQ(MemberNames(event), (std::vector<std::string>{"evt", "json"}));
    EXPECT_EQ(Field(event, "evt"), "discord");
    EXPECT_EQ(Field(event, "json"), body);           // what the page's JSON.parse of the string gives
    EXPECT_EQ(event.find('\n'), std::string::npos);  // control characters escaped
    EXPECT_EQ(event.find('\t'), std::string::npos);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/api/guilds/42/widget.json");
    EXPECT_EQ(requests[0].userAgent, "Mozilla/5.0 (Windows NT 10.0; Win64; x64) Veltrune");
    EXPECT_TRUE(log.Has(kFetched));
}

TEST_F(DiscordTest, EveryFailureGivesTheErrorFormAfterTheLogLine) {
    LogCapture log;
    server.Serve("/api/guilds/empty/widget.json", "");
    server.Set("/api/guilds/broken/widget.json", Reply::Status(500, "oops"));
    for (const wchar_t* guild : {L"disabled", L"empty", L"broken"}) {  // "disabled" answers 404
        DiscordFetchJob job;
        job.guildId = guild;
        job.host = Borrow(host);
        job.apiBase = seams.discordApiBase;
        FetchDiscordWidget(std::move(job));
    }
    EXPECT_EQ(host.Events(), std::vector<std::string>(3, R"({"evt":"discord","error":true})"));
    const auto lines = log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kFailed), 3);
    EXPECT_FALSE(log.Has(kFetched));
}

TEST_F(DiscordTest, AWidgetPastOneMebibyteIsRefusedAndOneAtTheLimitForwarded) {
    LogCapture log;
    std::string big = "{\"name\":\"";
    big.resize((1u << 20) + 1 - 2, 'x');
    big += "\"}";
    server.Serve("/api/guilds/big/widget.json", big);
    std::string limit = big.substr(0, big.size() - 3) + "\"}";
    server.Serve("/api/guilds/limit/widget.json", limit);
    for (const wchar_t* guild : {L"big", L"limit"}) {
        DiscordFetchJob job;
        job.guildId = guild;
        job.host = Borrow(host);
        job.apiBase = seams.discordApiBase;
        FetchDiscordWidget(std::move(job));
    }
    const auto events = host.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], R"({"evt":"discord","error":true})");
    EXPECT_EQ(Field(events[1], "json"), limit);
    EXPECT_TRUE(log.Has("Discord: widget larger than 1 MiB; refused"));
    EXPECT_FALSE(log.Has(kFailed));
}

TEST_F(DiscordTest, EachUiReadyFetchesAgainButOneWorkerRuns) {
    config.guildId = L"1187340012345678901";
    server.Serve("/api/guilds/1187340012345678901/widget.json", R"({"presence_count":3})");
    Make();
    Send(R"({"cmd":"ui.ready"})");
    Send(R"({"cmd":"ui.ready"})");
    ASSERT_GE(host.WaitForEvent("discord", 10000), 0);
    ASSERT_GE(host.WaitForEvent("discord", 10000, host.WaitForEvent("discord", 0) + 1), 0);
    ASSERT_GE(
        host.WaitForEventWhere([](const std::string& e) { return e == R"({"evt":"ready","canPlay":true})"; }, 20000),
        0);

    const auto ev = host.Events();
    EXPECT_EQ(EventName(ev[0]), "init");  // before anything else
    EXPECT_EQ(Count(ev, "init"), 2);
    EXPECT_EQ(Count(ev, "discord"), 2);
    for (const auto& e : ev) {
        if (EventName(e) == "discord") {
            EXPECT_EQ(e, R"({"evt":"discord","json":"{\"presence_count\":3}"})");
        }
    }
    EXPECT_EQ(server.CountRequests("/api/guilds/1187340012345678901/widget.json"), 2);
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 1);  // one worker, one pass
}

TEST_F(DiscordTest, AnEmptyGuildIdFetchesNothing) {
    Make();
    Send(R"({"cmd":"ui.ready"})");
    ASSERT_GE(
        host.WaitForEventWhere([](const std::string& e) { return e == R"({"evt":"ready","canPlay":true})"; }, 20000),
        0);
    Sleep(200);
    EXPECT_EQ(Count(host.Events(), "discord"), 0);
    for (const auto& r : server.Requests()) EXPECT_EQ(r.path.rfind("/api/", 0), std::string::npos) << r.path;
}

TEST_F(DiscordTest, ClosingDuringAStalledFetchNeitherWaitsNorCallsTheGoneHost) {
    LogCapture log;
    config.guildId = L"7";
    Reply stalled = Reply::Ok(R"({"late":true})");
    stalled.statusDelayMs = 4000;
    server.Set("/api/guilds/7/widget.json", stalled);
    Make();
    Send(R"({"cmd":"ui.ready"})");
    for (int n = 0; n < 1000 && server.CountRequests("/api/guilds/7/widget.json") == 0; ++n) Sleep(10);
    ASSERT_EQ(server.CountRequests("/api/guilds/7/widget.json"), 1);

    // Shutdown as start-up does it; then the host window is gone.
    const auto t0 = std::chrono::steady_clock::now();
    bridge->StopWorker();
    bridge.reset();
    host.Retire();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));  // the fetch needs seconds more

    // The fetch still completes, logs, and drops its event.
    ASSERT_TRUE(log.WaitFor(kFetched, 15000));
    Sleep(100);
    EXPECT_EQ(host.CallsAfterRetire(), 0);
    EXPECT_EQ(Count(host.Events(), "discord"), 0);
}

}  // namespace
}  // namespace vr::test

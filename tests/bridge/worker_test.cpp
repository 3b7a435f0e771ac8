// The worker against the real patcher and a loopback patch server, Play with
// a real stand-in client, and the Discord widget fetch.
#include "bridge/discord.h"
#include "bridge_fixture.h"
#include "fakes/fake_process/fake_record.h"
#include "net/sha256.h"
#include "support/fake_process_path.h"
#include "support/file_times.h"
#include "support/scoped_env.h"
#include "support/small_disks.h"
#include "support/test_data.h"

namespace vr::test {
namespace {

using WorkerTest = BridgeTest;

std::vector<FakeStart> WaitForStarts(const std::wstring& record, size_t count) {
    std::vector<FakeStart> starts;
    for (int n = 0; n < 400 && starts.size() < count; ++n, Sleep(50)) starts = ReadFakeStarts(record);
    return starts;
}

TEST_F(WorkerTest, APassReportsEveryStepInOrder) {
    const std::string a = Noise(256 * 1024, 1), b = Noise(128 * 1024, 2);
    List("v 29\n" + FileLine("a.dat", a.size()) + "d sub\n" + FileLine("b.dat", b.size()));
    File("a.dat", a);
    File("sub/b.dat", b);
    config.mirrors = {config.serverUrl, config.serverUrl};  // two servers, so the choice is reported
    config.connections = 1;                                 // in list order, so every file's blocks reach the page
    Make();
    Send(R"({"cmd":"patch.start"})");
    const int ready = WaitReady(true);
    ASSERT_GE(ready, 0);
    // Each file's block reports fold into "block <file> <index>" and its closing "... 100".
    std::vector<std::string> steps;
    for (const auto& e : EventsFrom(0)) {
        std::string step = e;
        if (Field(e, "filePercent") != "<absent>") {
            step = "block " + Field(e, "file") + " " + Field(e, "fileIndex") + " " + Field(e, "totalPercent");
            if (Field(e, "filePercent") == "100") step += " 100";
        } else if (Field(e, "text").rfind("Server: 127.0.0.1", 0) == 0) {
            step = "server chosen";
        }
        if (steps.empty() || steps.back() != step) steps.push_back(step);
        if (e == R"({"evt":"ready","canPlay":true})") break;
    }
    const std::vector<std::string> expected = {
        R"({"evt":"maintenance","active":false})",
        R"({"evt":"phase","phase":"checking","text":""})",
        R"({"evt":"status","text":"Selecting fastest server..."})",
        "server chosen",
        R"({"evt":"filecount","fileCount":2})",
        R"({"evt":"phase","phase":"downloading","text":""})",
        "block a.dat 0 0",
        "block a.dat 0 0 100",
        R"({"evt":"progress","fileIndex":1,"fileCount":2,"totalPercent":50})",
        "block sub\\b.dat 1 50",
        "block sub\\b.dat 1 50 100",
        R"({"evt":"progress","fileIndex":2,"fileCount":2,"totalPercent":100})",
        R"({"evt":"phase","phase":"finished","text":""})",
        R"({"evt":"ready","canPlay":true})",
    };
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(dir.Read(L"sub\\b.dat"), b);
    EXPECT_TRUE(bridge->CanPlay());
}

TEST_F(WorkerTest, OneBodyRunsWhateverIsAskedWhileItRunsAndEachUiReadyFetchesTheWidget) {
    config.guildId = L"42";
    server.Serve("/api/guilds/42/widget.json", R"({"presence_count":3})");
    Reply slowList = Reply::Ok(Gzip("v 29\n"));
    slowList.statusDelayMs = 500;
    server.Set("/patch/list.txt.gz", slowList);
    Make();
    for (const char* cmd : {"ui.ready", "patch.start", "patch.retry", "ui.ready"}) {
        Send(std::string(R"({"cmd":")") + cmd + "\"}");
    }
    const int ready = WaitReady(true);
    ASSERT_GE(ready, 0);
    for (int n = 0; n < 2000 && Only(host.Events(), "discord").size() < 2; ++n) Sleep(10);
    const auto ev = host.Events();
    EXPECT_EQ(EventName(ev[0]), "init");
    EXPECT_EQ(Only(ev, "discord"), std::vector<std::string>(2, R"({"evt":"discord","json":"{\"presence_count\":3}"})"));
    EXPECT_EQ(Only(std::vector<std::string>(ev.begin(), ev.begin() + ready), "phase"),
              (std::vector<std::string>{"checking", "finished"}));
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 1);
}

TEST_F(WorkerTest, AReloadedPageGetsTheCurrentState) {
    seams.pause = [](uint32_t) { Sleep(400); };  // no check falls between a reload and its answer
    for (const bool maintenance : {true, false}) {
        Maintenance(maintenance ? "true" : "false");
        Make();
        const size_t start = host.EventCount();
        Send(R"({"cmd":"ui.ready"})");
        ASSERT_GE(WaitReady(!maintenance, start), 0);
        const size_t reload = host.EventCount();
        Send(R"({"cmd":"ui.ready"})");
        const auto ev = EventsFrom(reload);
        ASSERT_EQ(ev.size(), 3u);
        EXPECT_EQ(EventName(ev[0]), "init");
        EXPECT_EQ(ev[1],
                  maintenance ? R"({"evt":"maintenance","active":true})" : R"({"evt":"maintenance","active":false})");
        EXPECT_EQ(ev[2], maintenance ? R"({"evt":"ready","canPlay":false})" : R"({"evt":"ready","canPlay":true})");
    }
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 1);  // no second pass for a reload
    EXPECT_TRUE(Only(host.Events(), "discord").empty());       // no guild configured
}

TEST_F(WorkerTest, MaintenanceAfterSuccessWithdrawsPlayAndAFullPassFollowsIt) {
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);
    Maintenance("true");
    const int withdrawn = WaitReady(false);
    ASSERT_GE(withdrawn, 0);
    EXPECT_EQ(host.Events()[withdrawn - 1], R"({"evt":"maintenance","active":true})");
    Send(R"({"cmd":"game.play"})");  // refused: play is withdrawn
    Maintenance("false");
    ASSERT_GE(WaitReady(true, withdrawn), 0);
    EXPECT_EQ(Only(EventsFrom(withdrawn), "phase"), (std::vector<std::string>{"checking", "finished"}));
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 2);
    EXPECT_FALSE(dir.Exists(L"PatcherSettings.ini"));
}

// Each failure ends the pass with play withdrawn and a text the player can act on.
TEST_F(WorkerTest, AFailedPassSaysWhatToDo) {
    auto failure = [this](const std::wstring& folder = L"") {
        Make(folder);
        const size_t from = host.EventCount();
        Send(R"({"cmd":"patch.start"})");
        EXPECT_TRUE(WaitIdle());
        const auto ev = EventsFrom(from);
        EXPECT_FALSE(bridge->CanPlay());
        if (ev.size() < 2 || ev[ev.size() - 2] != R"({"evt":"ready","canPlay":false})") return std::string("<none>");
        return Field(ev.back(), "message");
    };
    server.Set("/patch/list.txt.gz", Reply::Status(500));
    EXPECT_EQ(failure(), "Could not connect to the patch server. Please check your internet connection.");

    config.listKey = L"BADKEY==";
    List("v 29\nd made\n" + FileLine("a.dat", 3));
    EXPECT_EQ(failure(),
              "The patch list could not be verified: no patch server offered a list signed by the game's "
              "publisher. Your game files were not changed. Please try again later; if this keeps "
              "happening, contact the game's support.");
    EXPECT_FALSE(dir.Exists(L"made"));
    config.listKey.clear();

    List("v 29\nd Data\n" + FileLine("a.dat", 3));
    File("Data/a.dat", "abc");
    dir.MakeDir(L"Data\\a.dat");  // a folder where the file must go: access denied
    EXPECT_EQ(failure(), "The launcher could not write to the folder\n" + WideToUtf8(dir.Join(L"Data")) +
                             "\n(access denied). Make sure you may change that folder (a game under Program Files "
                             "needs the launcher to run as administrator), or move the game to a folder you own, "
                             "then try again.");

    const SmallDisks disks;
    VR_REQUIRE_SMALL_DISKS(disks);
    const std::wstring filler = disks.full + L"\\filler";
    ASSERT_TRUE(FillDisk(filler, 3u << 20));
    const std::string big = Noise(2u << 20, 3);  // more than the disk has left
    List("v 29\nd game\n" + FileLine("big.dat", big.size()));
    File("game/big.dat", big);
    EXPECT_EQ(failure(disks.full), "The launcher could not write to the folder\n" + WideToUtf8(disks.full) +
                                       "\\game\n(the disk is full). Free some space on that disk, then try again.");
    bridge.reset();
    DeleteFileW(filler.c_str());
    DeleteFileW((disks.full + L"\\game\\big.dat").c_str());
    RemoveDirectoryW((disks.full + L"\\game").c_str());
}

TEST_F(WorkerTest, AnOutdatedLauncherHandsOverOnlyOnceTheUpdaterStarts) {
    LogCapture log;
    List("v 29\n" + FileLine("a.dat", 3) + "v 30\n");
    File("a.dat", "abc");
    File("newLauncher.exe", "NEW LAUNCHER");
    Make();  // no updater.exe yet: the window stays open with an error
    Send(R"({"cmd":"patch.start"})");
    ASSERT_TRUE(WaitIdle());
    auto ev = host.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], R"({"evt":"ready","canPlay":false})");
    EXPECT_EQ(Field(ev.back(), "message"),
              "The launcher update could not be started. Please make sure updater.exe is in the game folder and not "
              "blocked by security software, then press Retry.");
    EXPECT_TRUE(log.Has("Bridge: the launcher update was not handed over (the updater did not start); staying open"));
    EXPECT_EQ(host.CountCalls("Close"), 0);

    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"updater.exe").c_str(), FALSE));
    const size_t from = host.EventCount();
    Send(R"({"cmd":"patch.retry"})");
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 20000));
    ASSERT_TRUE(WaitIdle());
    ev = EventsFrom(from);
    EXPECT_EQ(Only(ev, "phase"), (std::vector<std::string>{"checking", "updating", "updating"}));
    EXPECT_TRUE(Only(ev, "ready").empty() && Only(ev, "error").empty());
    EXPECT_EQ(EventName(ev.back()), "phase");  // the hand-over is the last word
    EXPECT_FALSE(dir.Exists(L"a.dat"));
    EXPECT_EQ(dir.Read(L"roaming\\Quorvane\\newLauncher.exe"), "NEW LAUNCHER");
    const auto starts = WaitForStarts(record, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].commandLine.find(L"\"" + dir.Join(L"roaming\\Quorvane\\newLauncher.exe") + L"\""),
              std::wstring::npos);
}

// Holds the pause between client starts until the test opens it.
struct LaunchGate {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // left open: a job may still wake from it
    ~LaunchGate() { SetEvent(event); }
};

TEST_F(WorkerTest, ASecondPlayWhileClientsStartIsRefusedAndTheLaunchIsAnnounced) {
    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"quorvane.exe").c_str(), FALSE));
    LogCapture log;
    auto gate = std::make_shared<LaunchGate>();
    seams.launcher.pause = [gate](uint32_t) { WaitForSingleObject(gate->event, 20000); };
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);
    const size_t before = host.EventCount();
    Send(R"({"cmd":"game.play","clients":3})");
    ASSERT_EQ(WaitForStarts(record, 1).size(), 1u);  // the launch now waits before the second client
    Send(R"({"cmd":"game.play","clients":3})");
    EXPECT_TRUE(log.Has("Bridge: Play ignored: the clients of the last Play are still starting"));
    Send(R"({"cmd":"ui.ready"})");  // a page reloaded meanwhile learns that a launch is under way

    SetEvent(gate->event);
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 30000));
    Sleep(300);  // a second batch, had one been started, would show by now
    EXPECT_EQ(ReadFakeStarts(record).size(), 3u);
    EXPECT_EQ(host.CountCalls("Close"), 1);
    EXPECT_EQ(Only(EventsFrom(before), "launch"),
              (std::vector<std::string>{R"({"evt":"launch","active":true})", R"({"evt":"launch","active":true})",
                                        R"({"evt":"launch","active":false,"started":3})"}));
}

TEST_F(WorkerTest, AThreadThatCannotBeCreatedLeavesTheBridgeUsable) {
    LogCapture log;
    int refusals = 1;
    seams.startThread = [&refusals](std::function<void()> body) {
        if (refusals-- > 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    Make();
    Send(R"({"cmd":"patch.start"})");
    EXPECT_FALSE(bridge->IsRunning());
    const auto lines = log.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Bridge: could not start the worker thread (", 0) == 0;
    }));
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);

    refusals = 1;  // now the Play thread: its end is announced at once, and nothing closes
    Send(R"({"cmd":"game.play"})");
    EXPECT_EQ(Only(host.Events(), "launch").back(), R"({"evt":"launch","active":false,"started":0})");
    EXPECT_EQ(host.CountCalls("Close"), 0);
    Send(R"({"cmd":"game.play","clients":0})");  // not held back by the launch that never ran
    EXPECT_TRUE(host.WaitForCalls("Close", 1, 20000));
    wchar_t stored[16];
    GetPrivateProfileStringW(L"option", L"ClientCount", L"", stored, 16, dir.Join(L"PatcherSettings.ini").c_str());
    EXPECT_STREQ(stored, L"1");
}

// A cancelled body still waiting on the network swallows a new start: it must
// end without a word, and leave no worker behind.
TEST_F(WorkerTest, ACancelledBodyThatHasNotEndedSwallowsANewStart) {
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);
    Reply stalled = Reply::Ok("false");
    stalled.statusDelayMs = 1000;
    const int checks = server.CountRequests("/patch/MaintanenceCheck.txt");
    server.Set("/patch/MaintanenceCheck.txt", stalled);
    for (int n = 0; n < 1000 && server.CountRequests("/patch/MaintanenceCheck.txt") <= checks; ++n) Sleep(10);
    const size_t before = host.EventCount();
    Send(R"({"cmd":"patch.cancel"})");
    Send(R"({"cmd":"patch.start"})");
    ASSERT_TRUE(WaitIdle());
    Sleep(300);
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_EQ(EventsFrom(before), std::vector<std::string>{R"({"evt":"maintenance","active":false})"});
    EXPECT_TRUE(bridge->CanPlay());
}

// A file whose bytes changed under an unchanged size and time is fetched
// again, with play withdrawn meanwhile.
TEST_F(WorkerTest, VerifyGameFilesRepairsWhileReadyAndGivesPlayBack) {
    const std::string a = Noise(200 * 1024, 7);
    Sha256 hash;
    hash.Update(a.data(), a.size());
    Sha256Digest digest{};
    ASSERT_TRUE(hash.Finish(digest));
    List("v 29\n#hash sha256\nf 1700000000 " + std::to_string(a.size()) + " " + DigestHex(digest) + " a.dat\n");
    File("a.dat", a);
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);
    std::string damaged = a;
    damaged[100] ^= 0x20;
    dir.Write(L"a.dat", damaged);
    SetUnixMtime(dir.Join(L"a.dat"), 1700000000);
    const size_t from = host.EventCount();
    Send(R"({"cmd":"patch.verify"})");
    ASSERT_GE(WaitReady(true, from), 0);
    const auto ev = EventsFrom(from);
    EXPECT_EQ(Only(ev, "ready").front(), R"({"evt":"ready","canPlay":false})");
    EXPECT_EQ(Only(ev, "phase"), (std::vector<std::string>{"checking", "verifying", "downloading", "finished"}));
    EXPECT_EQ(Only(ev, "verify").back(), R"({"evt":"verify","files":1,"fileCount":1,"doneMb":0.20,"totalMb":0.20})");
    EXPECT_EQ(dir.Read(L"a.dat"), a);
}

TEST_F(WorkerTest, TheWidgetTravelsAsOneJsonStringAndEveryFailureAsTheErrorForm) {
    LogCapture log;
    const std::string body = "{\"name\":\"Quorvane \\\"EU\\\"\",\"m\":\"Zo\xC3\xAB\"}\n\t<not json>";
    const std::string limit = "{\"n\":\"" + std::string((1u << 20) - 8, 'x') + "\"}";  // exactly 1 MiB
    server.Serve("/api/guilds/ok/widget.json", body);
    server.Serve("/api/guilds/limit/widget.json", limit);
    server.Serve("/api/guilds/big/widget.json", limit + " ");
    server.Serve("/api/guilds/empty/widget.json", "");
    server.Set("/api/guilds/broken/widget.json", Reply::Status(500, "oops"));
    for (const wchar_t* guild : {L"ok", L"limit", L"big", L"empty", L"broken", L"disabled"}) {  // the last: 404
        DiscordFetchJob job;
        job.guildId = guild;
        job.host = std::shared_ptr<IHostActions>(&host, [](IHostActions*) {});
        job.apiBase = seams.discordApiBase;
        FetchDiscordWidget(std::move(job));
    }
    const auto ev = host.Events();
    ASSERT_EQ(ev.size(), 6u);
    EXPECT_EQ(Field(ev[0], "json"), body);  // what the page's JSON.parse of the string gives
    EXPECT_EQ(ev[0].find_first_of("\n\t"), std::string::npos);
    EXPECT_EQ(Field(ev[1], "json"), limit);
    for (size_t i = 2; i < 6; ++i) EXPECT_EQ(ev[i], R"({"evt":"discord","error":true})") << i;
    EXPECT_EQ(server.Requests().at(0).userAgent, "Mozilla/5.0 (Windows NT 10.0; Win64; x64) Veltrune");
    EXPECT_TRUE(log.Has("Discord: widget larger than 1 MiB; refused"));
    const auto lines = log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Discord: widget fetch failed (is the server widget enabled?)"),
              3);
}

// The fetch may outlive the bridge: it must not call the host that is gone.
TEST_F(WorkerTest, ClosingDuringAStalledFetchNeverCallsTheGoneHost) {
    LogCapture log;
    config.guildId = L"7";
    Reply stalled = Reply::Ok(R"({"late":true})");
    stalled.statusDelayMs = 1500;
    server.Set("/api/guilds/7/widget.json", stalled);
    Make();
    Send(R"({"cmd":"ui.ready"})");
    for (int n = 0; n < 1000 && server.CountRequests("/api/guilds/7/widget.json") == 0; ++n) Sleep(10);
    bridge->StopWorker();
    bridge.reset();
    host.Retire();
    ASSERT_TRUE(log.WaitFor("Discord: widget fetched", 15000));
    Sleep(100);
    EXPECT_EQ(host.CallsAfterRetire(), 0);
}

}  // namespace
}  // namespace vr::test

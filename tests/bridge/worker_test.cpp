// The worker against the real patcher and a loopback patch server: event
// sequences, the play flag, maintenance polling, failures and the hand-over.
#include <regex>

#include "bridge_fixture.h"
#include "fakes/fake_process/fake_record.h"
#include "net/sha256.h"
#include "support/file_times.h"
#include "support/small_disks.h"
#include "support/test_data.h"

namespace vr::test {
namespace {

std::string FileLine(const std::string& name, size_t size) {
    return "f 1700000000 " + std::to_string(size) + " x " + name + "\n";
}

class WorkerTest : public BridgeTest {
protected:
    // Waits for "ready" with the given value at or after `from`; its index or -1.
    int WaitReady(bool value, size_t from = 0, uint32_t timeoutMs = 20000) {
        const std::string want = value ? R"({"evt":"ready","canPlay":true})" : R"({"evt":"ready","canPlay":false})";
        return host.WaitForEventWhere([&](const std::string& e) { return e == want; }, timeoutMs, from);
    }

    std::vector<std::string> Phases(const std::vector<std::string>& events) {
        std::vector<std::string> phases;
        for (const auto& e : events) {
            if (EventName(e) == "phase") phases.push_back(Field(e, "phase"));
        }
        return phases;
    }
};

TEST_F(WorkerTest, APassWithDownloadsReportsEveryStepInOrder) {
    const std::string a = Noise(700 * 1024, 1);
    const std::string b = Noise(300 * 1024, 2);
    List("v 29\n" + FileLine("a.dat", a.size()) + "d sub\n" + FileLine("b.dat", b.size()));
    File("a.dat", a);
    File("sub/b.dat", b);
    config.mirrors = {config.serverUrl, config.serverUrl};  // two servers, so the choice is reported
    // One at a time, so every file's blocks reach the page: in parallel a
    // file may end before the pass reports its progress (that order is the
    // patcher's parallel tests' subject).
    config.connections = 1;
    Make();
    Send(R"({"cmd":"patch.start"})");
    const int ready = WaitReady(true);
    ASSERT_GE(ready, 0);
    // The polling goes on after success.
    ASSERT_GE(host.WaitForEvent("maintenance", 10000, ready + 1), ready + 1);
    const std::vector<std::string> ev = host.Events();

    size_t i = 0;
    EXPECT_EQ(ev[i++], R"({"evt":"maintenance","active":false})");
    EXPECT_EQ(ev[i++], R"({"evt":"phase","phase":"checking","text":""})");
    EXPECT_EQ(ev[i++], R"({"evt":"status","text":"Selecting fastest server..."})");
    ASSERT_EQ(EventName(ev[i]), "status");
    EXPECT_EQ(Field(ev[i++], "text").rfind("Server: 127.0.0.1", 0), 0u);
    EXPECT_EQ(ev[i++], R"({"evt":"filecount","fileCount":2})");
    EXPECT_EQ(ev[i++], R"({"evt":"phase","phase":"downloading","text":""})");

    const std::regex during(
        R"re(\{"evt":"progress","filePercent":(\d+),"speed":\d+\.\d\d,"doneMb":(\d+\.\d\d),"file":"([^"]*)","fileIndex":(\d+),"fileCount":2,"totalPercent":(\d+)\})re");
    const struct {
        const char* file;
        const char* index;
        const char* percent;
        const char* done;
    } files[] = {{"a.dat", "0", "0", R"({"evt":"progress","fileIndex":1,"fileCount":2,"totalPercent":50})"},
                 {"sub\\\\b.dat", "1", "50", R"({"evt":"progress","fileIndex":2,"fileCount":2,"totalPercent":100})"}};
    double lastDoneMb = 0;
    for (const auto& f : files) {
        int blocks = 0;
        std::string lastPercent;
        std::smatch m;
        while (i < ev.size() && std::regex_match(ev[i], m, during)) {
            EXPECT_EQ(m[3].str(), f.file);
            EXPECT_EQ(m[4].str(), f.index);
            EXPECT_EQ(m[5].str(), f.percent);
            EXPECT_GE(std::stod(m[2].str()), lastDoneMb);
            lastDoneMb = std::stod(m[2].str());
            lastPercent = m[1].str();
            ++blocks;
            ++i;
        }
        // At least one block before the closing 100.
        EXPECT_GE(blocks, 2) << f.file;
        EXPECT_EQ(lastPercent, "100") << f.file;
        ASSERT_LT(i, ev.size());
        EXPECT_EQ(ev[i++], f.done);
    }
    EXPECT_GT(lastDoneMb, 0.9);
    EXPECT_EQ(ev[i++], R"({"evt":"phase","phase":"finished","text":""})");
    EXPECT_EQ(static_cast<int>(i), ready);
    EXPECT_EQ(ev[ready + 1], R"({"evt":"maintenance","active":false})");

    EXPECT_EQ(dir.Read(L"a.dat"), a);
    EXPECT_EQ(dir.Read(L"sub\\b.dat"), b);
    EXPECT_TRUE(bridge->CanPlay());
    EXPECT_TRUE(bridge->IsRunning());  // still polling
}

TEST_F(WorkerTest, StartRequestsWhileABodyRunsAreIgnoredWithoutBlocking) {
    Reply slowList = Reply::Ok(Gzip("v 29\n"));
    slowList.statusDelayMs = 1500;
    server.Set("/patch/list.txt.gz", slowList);
    Make();
    Send(R"({"cmd":"ui.ready"})");
    const auto t0 = std::chrono::steady_clock::now();
    Send(R"({"cmd":"patch.start"})");
    Send(R"({"cmd":"patch.retry"})");
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::milliseconds(1000));  // the body needs 1.5 s; the UI thread must not wait for it

    const int ready = WaitReady(true);
    ASSERT_GE(ready, 0);
    const auto ev = host.Events();
    EXPECT_EQ(EventName(ev[0]), "init");
    const std::vector<std::string> upToReady(ev.begin(), ev.begin() + ready + 1);
    EXPECT_EQ(Count(upToReady, "maintenance"), 1);
    EXPECT_EQ(Phases(upToReady), (std::vector<std::string>{"checking", "finished"}));
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 1);
}

TEST_F(WorkerTest, CancelDuringDownloadsEndsSilentlyAndRetryStartsAFreshBody) {
    const std::string big = Noise(3 * 1024 * 1024, 3);
    List("v 29\n" + FileLine("big.dat", big.size()));
    Reply slow = Reply::Ok(Gzip(big));
    slow.throttleBytes = 64 * 1024;
    slow.throttleDelayMs = 100;
    server.Set("/patch/big.dat.gz", slow);
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(host.WaitForEventWhere(
                  [](const std::string& e) { return e.find("\"filePercent\"") != std::string::npos; }, 20000),
              0);
    Send(R"({"cmd":"patch.cancel"})");
    const size_t atCancel = host.EventCount();
    ASSERT_TRUE(WaitIdle());
    const size_t atEnd = host.EventCount();
    Sleep(300);
    EXPECT_EQ(host.EventCount(), atEnd);
    for (const auto& e : EventsFrom(atCancel)) {
        EXPECT_EQ(EventName(e), "progress") << e;  // blocks already on their way, nothing else
    }
    EXPECT_FALSE(bridge->CanPlay());
    EXPECT_FALSE(dir.Exists(L"big.dat"));  // no partial file is left

    File("big.dat", big);
    Send(R"({"cmd":"patch.retry"})");
    const int ready = WaitReady(true, atEnd);
    ASSERT_GE(ready, 0);
    const auto retry = EventsFrom(atEnd);
    EXPECT_EQ(retry[0], R"({"evt":"maintenance","active":false})");
    EXPECT_EQ(retry[1], R"({"evt":"phase","phase":"checking","text":""})");
    EXPECT_EQ(dir.Read(L"big.dat"), big);
}

// Closing the window mid-download: the stop request both cancels and waits,
// so when it returns the body has ended and cleaned up after itself.
TEST_F(WorkerTest, StopWorkerDuringADownloadReturnsOnlyOnceTheBodyHasEnded) {
    const std::string big = Noise(3 * 1024 * 1024, 5);
    List("v 29\n" + FileLine("big.dat", big.size()));
    Reply slow = Reply::Ok(Gzip(big));
    slow.throttleBytes = 64 * 1024;
    slow.throttleDelayMs = 100;
    server.Set("/patch/big.dat.gz", slow);
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(host.WaitForEventWhere(
                  [](const std::string& e) { return e.find("\"filePercent\"") != std::string::npos; }, 20000),
              0);
    bridge->StopWorker();
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_FALSE(dir.Exists(L"big.dat"));  // deleted by the body before it ended
    const size_t atStop = host.EventCount();
    Sleep(300);
    EXPECT_EQ(host.EventCount(), atStop);  // nothing trails the stop
    EXPECT_FALSE(bridge->CanPlay());
}

TEST_F(WorkerTest, CancelWhileReadyKeepsPlayAndPlayStartsClientsThenCloses) {
    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"quorvane.exe").c_str(), FALSE));
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);
    Send(R"({"cmd":"patch.cancel"})");
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(bridge->CanPlay());

    Send(R"({"cmd":"game.play","clients":0})");
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 20000));
    EXPECT_EQ(ReadFakeStarts(record).size(), 1u);
    wchar_t stored[16];
    GetPrivateProfileStringW(L"option", L"ClientCount", L"", stored, 16, dir.Join(L"PatcherSettings.ini").c_str());
    EXPECT_STREQ(stored, L"1");

    Send(R"({"cmd":"game.play","clients":8})");
    ASSERT_TRUE(host.WaitForCalls("Close", 2, 60000));
    const auto starts = ReadFakeStarts(record);
    ASSERT_EQ(starts.size(), 9u);
    EXPECT_EQ(starts.back().commandLine, L"\"" + dir.Join(L"quorvane.exe") + L"\" lumaris");
    GetPrivateProfileStringW(L"option", L"ClientCount", L"", stored, 16, dir.Join(L"PatcherSettings.ini").c_str());
    EXPECT_STREQ(stored, L"8");
}

// Holds every pause between client starts until the test opens it, so a
// launch is known to be under way while the test acts.
class LaunchGate {
public:
    LaunchGate() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~LaunchGate() { Open(); }
    LaunchGate(const LaunchGate&) = delete;
    LaunchGate& operator=(const LaunchGate&) = delete;
    void Open() { SetEvent(event); }
    // Bounded, so a test that fails before opening never strands the thread.
    void Wait() const { WaitForSingleObject(event, 20000); }

private:
    HANDLE event;  // left open: a job thread may still be waking from it
};

TEST_F(WorkerTest, ASecondPlayWhileClientsStartIsRefusedAndTheLaunchEndIsAnnounced) {
    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"quorvane.exe").c_str(), FALSE));
    LogCapture log;
    auto gate = std::make_shared<LaunchGate>();
    seams.launcher.pause = [gate](uint32_t) { gate->Wait(); };
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);

    const size_t before = host.EventCount();
    Send(R"({"cmd":"game.play","clients":3})");
    for (int n = 0; n < 1000 && ReadFakeStarts(record).empty(); ++n) Sleep(10);
    ASSERT_EQ(ReadFakeStarts(record).size(), 1u);  // the launch now waits before the second client
    Send(R"({"cmd":"game.play","clients":3})");
    EXPECT_TRUE(log.Has("Bridge: Play ignored: the clients of the last Play are still starting"));

    // A page reloaded meanwhile learns that a launch is under way.
    const size_t reload = host.EventCount();
    Send(R"({"cmd":"ui.ready"})");
    EXPECT_GE(host.WaitForEventWhere([](const std::string& e) { return e == R"({"evt":"launch","active":true})"; }, 0,
                                     reload),
              0);

    gate->Open();
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 30000));
    Sleep(300);  // a second batch, had one been started, would show by now
    EXPECT_EQ(ReadFakeStarts(record).size(), 3u);
    EXPECT_EQ(host.CountCalls("Close"), 1);

    std::vector<std::string> launch;
    for (const auto& e : EventsFrom(before)) {
        if (EventName(e) == "launch") launch.push_back(e);
    }
    EXPECT_EQ(launch,
              (std::vector<std::string>{R"({"evt":"launch","active":true})", R"({"evt":"launch","active":true})",
                                        R"({"evt":"launch","active":false,"started":3})"}));
}

TEST_F(WorkerTest, AReloadedPageGetsTheCurrentStateAndPlayWorks) {
    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"quorvane.exe").c_str(), FALSE));
    // A ten-second pause between checks, so no polling event falls between
    // the reload and what it re-sends.
    seams.pause = [](uint32_t) { Sleep(400); };

    // During maintenance.
    Maintenance("true");
    Make();
    Send(R"({"cmd":"ui.ready"})");
    ASSERT_GE(WaitReady(false), 0);
    size_t reload = host.EventCount();
    Send(R"({"cmd":"ui.ready"})");
    auto ev = EventsFrom(reload);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(EventName(ev[0]), "init");
    EXPECT_EQ(ev[1], R"({"evt":"maintenance","active":true})");
    EXPECT_EQ(ev[2], R"({"evt":"ready","canPlay":false})");
    bridge.reset();

    // After a successful pass.
    Maintenance("false");
    Make();
    const size_t start = host.EventCount();
    Send(R"({"cmd":"ui.ready"})");
    ASSERT_GE(WaitReady(true, start), 0);
    reload = host.EventCount();
    Send(R"({"cmd":"ui.ready"})");
    ev = EventsFrom(reload);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(EventName(ev[0]), "init");
    EXPECT_EQ(ev[1], R"({"evt":"maintenance","active":false})");
    EXPECT_EQ(ev[2], R"({"evt":"ready","canPlay":true})");
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 1);  // no second pass for the reload

    Send(R"({"cmd":"game.play","clients":1})");
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 20000));
    EXPECT_EQ(ReadFakeStarts(record).size(), 1u);
}

TEST_F(WorkerTest, MaintenanceAtStartWithholdsPlayUntilItClears) {
    Maintenance("  TRUE \r\n");
    Make();
    Send(R"({"cmd":"patch.start"})");
    // Three full cycles of maintenance.
    int idx = -1;
    for (int n = 0; n < 3; ++n) {
        idx = WaitReady(false, idx + 1);
        ASSERT_GE(idx, 0);
    }
    Send(R"({"cmd":"game.play","clients":2})");
    const size_t cleared = host.EventCount();
    Maintenance("false");
    const int ready = WaitReady(true, cleared);
    ASSERT_GE(ready, 0);

    const auto ev = host.Events();
    const std::vector<std::string> during(ev.begin(), ev.begin() + cleared);
    EXPECT_TRUE(Phases(during).empty());
    ASSERT_GE(during.size(), 6u);
    for (size_t k = 0; k + 1 < during.size(); k += 2) {
        EXPECT_EQ(during[k], R"({"evt":"maintenance","active":true})");
        EXPECT_EQ(during[k + 1], R"({"evt":"ready","canPlay":false})");
    }
    // Once clear: the check, then a full pass.
    const int firstClear = host.WaitForEventWhere(
        [](const std::string& e) { return e == R"({"evt":"maintenance","active":false})"; }, 0, cleared);
    ASSERT_GE(firstClear, 0);
    EXPECT_EQ(ev[firstClear + 1], R"({"evt":"phase","phase":"checking","text":""})");
    EXPECT_FALSE(dir.Exists(L"PatcherSettings.ini"));  // play was refused during maintenance
    EXPECT_EQ(host.CountCalls("Close"), 0);
}

TEST_F(WorkerTest, MaintenanceAfterSuccessWithdrawsPlayAndAFullPassFollowsIt) {
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);
    const int listFetches = server.CountRequests("/patch/list.txt.gz");

    Maintenance("true");
    const int withdrawn = WaitReady(false);
    ASSERT_GE(withdrawn, 0);
    EXPECT_EQ(host.Events()[withdrawn - 1], R"({"evt":"maintenance","active":true})");
    EXPECT_FALSE(bridge->CanPlay());
    Send(R"({"cmd":"game.play"})");

    Maintenance("false");
    const int back = WaitReady(true, withdrawn);
    ASSERT_GE(back, 0);
    EXPECT_EQ(Phases(EventsFrom(withdrawn)), (std::vector<std::string>{"checking", "finished"}));
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), listFetches + 1);
    EXPECT_FALSE(dir.Exists(L"PatcherSettings.ini"));
}

TEST_F(WorkerTest, AFileMissingOnTheServerEndsWithReadyFalseAndTheUrl) {
    List("v 29\n" + FileLine("gone file.dat", 5));
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_TRUE(WaitIdle());
    const auto ev = host.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], R"({"evt":"ready","canPlay":false})");
    EXPECT_EQ(EventName(ev.back()), "error");
    const std::string message = Field(ev.back(), "message");
    EXPECT_EQ(message, "A required file was not found on the server:\n" + server.Url() + "patch/gone%20file.dat.gz");
    EXPECT_FALSE(bridge->CanPlay());
    Sleep(200);
    EXPECT_EQ(host.EventCount(), ev.size());  // polling ended with the body
}

TEST_F(WorkerTest, AServerFailureGivesTheConnectionText) {
    server.Set("/patch/list.txt.gz", Reply::Status(500));
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_TRUE(WaitIdle(60000));
    const auto ev = host.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], R"({"evt":"ready","canPlay":false})");
    EXPECT_EQ(
        ev.back(),
        R"({"evt":"error","message":"Could not connect to the patch server. Please check your internet connection."})");
}

TEST_F(WorkerTest, AGameFolderThatCannotBeWrittenGetsItsOwnTextNotTheConnectionOne) {
    const std::string advice =
        "Make sure you may change that folder (a game under Program Files needs the launcher to run as "
        "administrator), or move the game to a folder you own, then try again.";
    List("v 29\nd Data\n" + FileLine("a.dat", 3));
    File("Data/a.dat", "abc");
    {  // a folder stands where the file must go: Windows denies access
        dir.MakeDir(L"Data\\a.dat");
        Make();
        Send(R"({"cmd":"patch.start"})");
        ASSERT_TRUE(WaitIdle());
        const auto ev = host.Events();
        ASSERT_GE(ev.size(), 2u);
        EXPECT_EQ(ev[ev.size() - 2], R"({"evt":"ready","canPlay":false})");
        EXPECT_EQ(Field(ev.back(), "message"), "The launcher could not write to the folder\n" +
                                                   WideToUtf8(dir.Join(L"Data")) + "\n(access denied). " + advice);
        EXPECT_FALSE(bridge->CanPlay());
    }
    const SmallDisks disks;
    VR_REQUIRE_SMALL_DISKS(disks);
    {  // a game folder on a read-only file system (Wine reports it as access denied)
        List("v 29\n" + FileLine("a.dat", 3));
        File("a.dat", "abc");
        bridge = std::make_unique<Bridge>(config, disks.readonly, &host, seams);
        const size_t from = host.EventCount();
        Send(R"({"cmd":"patch.start"})");
        ASSERT_TRUE(WaitIdle());
        const auto ev = EventsFrom(from);
        ASSERT_FALSE(ev.empty());
        EXPECT_EQ(Field(ev.back(), "message"), "The launcher could not write to the folder\n" +
                                                   WideToUtf8(disks.readonly) + "\n(access denied). " + advice);
    }
}

TEST_F(WorkerTest, AFullDiskGetsItsOwnTextAndARetryWithSpaceSucceeds) {
    const SmallDisks disks;
    VR_REQUIRE_SMALL_DISKS(disks);
    const std::wstring filler = disks.full + L"\\filler";
    ASSERT_TRUE(FillDisk(filler, 3u << 20));
    const std::string big = Noise(2u << 20, 3);
    List("v 29\nd game\n" + FileLine("big.dat", big.size()));
    File("game/big.dat", big);
    bridge = std::make_unique<Bridge>(config, disks.full, &host, seams);
    Send(R"({"cmd":"patch.start"})");
    ASSERT_TRUE(WaitIdle());
    const auto ev = host.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], R"({"evt":"ready","canPlay":false})");
    EXPECT_EQ(Field(ev.back(), "message"),
              "The launcher could not write to the folder\n" + WideToUtf8(disks.full) +
                  "\\game\n(the disk is full). Free some space on that disk, then try again.");

    ASSERT_TRUE(DeleteFileW(filler.c_str()));
    const size_t from = host.EventCount();
    Send(R"({"cmd":"patch.retry"})");
    EXPECT_GE(WaitReady(true, from), 0);
    bridge.reset();
    DeleteFileW((disks.full + L"\\game\\big.dat").c_str());
    RemoveDirectoryW((disks.full + L"\\game").c_str());
}

TEST_F(WorkerTest, AnOutdatedLauncherHandsOverToTheUpdater) {
    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"updater.exe").c_str(), FALSE));
    List("v 29\n" + FileLine("a.dat", 3) + "v 30\n");
    File("a.dat", "abc");
    File("newLauncher.exe", "NEW LAUNCHER");
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 20000));
    ASSERT_TRUE(WaitIdle());

    const auto ev = host.Events();
    EXPECT_EQ(Phases(ev), (std::vector<std::string>{"checking", "updating", "updating"}));
    EXPECT_EQ(Count(ev, "ready"), 0);
    EXPECT_EQ(Count(ev, "error"), 0);
    EXPECT_EQ(EventName(ev.back()), "phase");  // the hand-over is the last word
    EXPECT_FALSE(dir.Exists(L"a.dat"));
    const std::wstring replacement = dir.Join(L"roaming\\Quorvane\\newLauncher.exe");
    EXPECT_EQ(dir.Read(L"roaming\\Quorvane\\newLauncher.exe"), "NEW LAUNCHER");

    std::vector<FakeStart> starts;
    for (int n = 0; n < 200 && starts.empty(); ++n, Sleep(50)) starts = ReadFakeStarts(record);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].commandLine.find(L"\"" + replacement + L"\""), std::wstring::npos) << starts[0].commandLine;
    EXPECT_FALSE(bridge->CanPlay());
}

TEST_F(WorkerTest, AnUpdaterThatCannotStartLeavesTheWindowOpenWithAnErrorAndRetryHandsOver) {
    LogCapture log;
    List("v 29\n" + FileLine("a.dat", 3) + "v 30\n");
    File("a.dat", "abc");
    File("newLauncher.exe", "NEW LAUNCHER");
    Make();  // no updater.exe in the launcher's folder
    Send(R"({"cmd":"patch.start"})");
    ASSERT_TRUE(WaitIdle());

    const auto ev = host.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], R"({"evt":"ready","canPlay":false})");
    EXPECT_EQ(ev.back(),
              R"({"evt":"error","message":"The launcher update could not be started. Please make sure )"
              R"(updater.exe is in the game folder and not blocked by security software, then press Retry."})");
    EXPECT_EQ(host.CountCalls("Close"), 0);
    EXPECT_FALSE(bridge->CanPlay());
    EXPECT_TRUE(log.Has("GameLaunch: updater start failed (err 2)"));
    EXPECT_TRUE(log.Has("Bridge: the launcher update was not handed over (the updater did not start); staying open"));

    // Once the updater is back, Retry hands over.
    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"updater.exe").c_str(), FALSE));
    Send(R"({"cmd":"patch.retry"})");
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 20000));
    std::vector<FakeStart> starts;
    for (int n = 0; n < 200 && starts.empty(); ++n, Sleep(50)) starts = ReadFakeStarts(record);
    EXPECT_EQ(starts.size(), 1u);
}

TEST_F(WorkerTest, ACancelledBodyThatHasNotEndedSwallowsANewStart) {
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);
    // The next maintenance check stalls on the server: the body is busy.
    Reply stalled = Reply::Ok("false");
    stalled.statusDelayMs = 1500;
    const int checks = server.CountRequests("/patch/MaintanenceCheck.txt");
    server.Set("/patch/MaintanenceCheck.txt", stalled);
    for (int n = 0; n < 1000 && server.CountRequests("/patch/MaintanenceCheck.txt") <= checks; ++n) Sleep(10);
    ASSERT_GT(server.CountRequests("/patch/MaintanenceCheck.txt"), checks);

    const size_t before = host.EventCount();
    const auto t0 = std::chrono::steady_clock::now();
    Send(R"({"cmd":"patch.cancel"})");
    Send(R"({"cmd":"patch.start"})");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    ASSERT_TRUE(WaitIdle());
    Sleep(300);
    EXPECT_FALSE(bridge->IsRunning());  // the ignored start left no worker behind
    EXPECT_EQ(EventsFrom(before), std::vector<std::string>{R"({"evt":"maintenance","active":false})"});
    EXPECT_TRUE(bridge->CanPlay());
}

TEST_F(WorkerTest, RealTimePollingAndAPromptShutdown) {
    seams.pause = Bridge::Seams().pause;  // the shipped pause
    Make();
    // Measured from the start request, so a late wake-up of this thread can
    // only lengthen what it sees: one full pause lies between the two checks.
    const auto startedAt = std::chrono::steady_clock::now();
    Send(R"({"cmd":"patch.start"})");
    const int ready = WaitReady(true);
    ASSERT_GE(ready, 0);
    const int next = host.WaitForEvent("maintenance", 15000, ready + 1);
    ASSERT_GE(next, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - startedAt, std::chrono::milliseconds(2400));
    EXPECT_EQ(next, ready + 1);

    // Shutdown as start-up does it, while the body waits between checks.
    Sleep(500);
    const auto t0 = std::chrono::steady_clock::now();
    bridge->StopWorker();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_FALSE(bridge->IsRunning());
}

TEST_F(WorkerTest, AThreadThatCannotBeCreatedLeavesTheBridgeUsable) {
    LogCapture log;
    int refusals = 1;
    seams.startThread = [&refusals](std::function<void()> body) {
        if (refusals > 0) {
            --refusals;
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
    };
    Make();
    Send(R"({"cmd":"patch.start"})");
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_FALSE(BridgeTestAccess::HoldsWorkerThread(*bridge));
    const auto lines = log.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Bridge: could not start the worker thread", 0) == 0;
    }));

    Send(R"({"cmd":"patch.start"})");
    ASSERT_GE(WaitReady(true), 0);

    refusals = 1;  // now the Play thread
    Send(R"({"cmd":"game.play"})");
    EXPECT_TRUE(log.Has(std::string("Bridge: could not start the game launch thread (") +
                        std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what() +
                        ")"));
    EXPECT_EQ(host.CountCalls("Close"), 0);
    const auto ended = [](const std::string& e) { return e == R"({"evt":"launch","active":false,"started":0})"; };
    EXPECT_GE(host.WaitForEventWhere(ended, 0), 0);
    Send(R"({"cmd":"game.play"})");  // not held back by the launch that never ran
    EXPECT_TRUE(host.WaitForCalls("Close", 1, 20000));
}

// "Verify game files" while the worker idles after a good pass: Play is
// withdrawn, the files are hashed, the one whose bytes changed under an
// unchanged size and time is fetched again, and Play comes back.
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
    const int ready = WaitReady(true, from);
    ASSERT_GE(ready, 0);
    const std::vector<std::string> ev = EventsFrom(from);
    const auto firstReady = std::find(ev.begin(), ev.end(), std::string(R"({"evt":"ready","canPlay":false})"));
    ASSERT_NE(firstReady, ev.end());
    EXPECT_EQ(Phases(ev), (std::vector<std::string>{"checking", "verifying", "downloading", "finished"}));
    const std::vector<std::string> verifies = [&] {
        std::vector<std::string> v;
        for (const auto& e : ev) {
            if (EventName(e) == "verify") v.push_back(e);
        }
        return v;
    }();
    ASSERT_GE(verifies.size(), 2u);
    EXPECT_EQ(verifies.front(), R"({"evt":"verify","files":0,"fileCount":1,"doneMb":0.00,"totalMb":0.20})");
    EXPECT_EQ(verifies.back(), R"({"evt":"verify","files":1,"fileCount":1,"doneMb":0.20,"totalMb":0.20})");
    EXPECT_EQ(dir.Read(L"a.dat"), a);
    EXPECT_TRUE(bridge->CanPlay());
}

// A key the served list was not signed with: the page is told, in words a
// player can act on, and nothing of the list reaches the disk.
TEST_F(WorkerTest, AListThatCannotBeVerifiedEndsWithItsOwnError) {
    config.listKey = L"BADKEY==";
    List("v 29\nd made\n" + FileLine("a.dat", 3));
    File("made/a.dat", "abc");
    Make();
    Send(R"({"cmd":"patch.start"})");
    ASSERT_TRUE(WaitIdle());
    const auto ev = host.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], R"({"evt":"ready","canPlay":false})");
    EXPECT_EQ(Field(ev.back(), "message"),
              "The patch list could not be verified: no patch server offered a list signed by the game's publisher. "
              "Your game files were not changed. Please try again later; if this keeps happening, contact the "
              "game's support.");
    EXPECT_FALSE(dir.Exists(L"made"));
}

}  // namespace
}  // namespace vr::test

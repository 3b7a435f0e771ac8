// The bridge against a launcher folder, a loopback server standing in for
// the patch server and Discord's API, a recording host, the real patcher and
// a real stand-in client: page commands, events, the worker and the widget.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/discord.h"
#include "fakes/fake_process/fake_record.h"
#include "net/sha256.h"
#include "support/fake_process_path.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/list_signer.h"
#include "support/log_capture.h"
#include "support/recording_host.h"
#include "support/scoped_env.h"
#include "support/small_disks.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "text/json.h"
#include "text/text.h"

namespace vr::test {
namespace {

std::string Field(const std::string& json, const std::string& name) {
    return JsonGetString(ParseJsonObject(json), name, "<absent>");
}

// The events named `evt`; for "phase" only their phases.
std::vector<std::string> Only(const std::vector<std::string>& events, const std::string& evt) {
    std::vector<std::string> found;
    for (const auto& e : events) {
        if (EventName(e) == evt) found.push_back(evt == "phase" ? Field(e, "phase") : e);
    }
    return found;
}

// A bounded wait for what no event announces (a file, a thread's end).
bool Until(const std::function<bool()>& done) {
    for (int waited = 0; waited < 20000 && !done(); waited += 5) Sleep(5);
    return done();
}

class BridgeTest : public ::testing::Test {
protected:
    BridgeTest() {
        config.serverUrl = server.WUrl() + L"patch/";
        config.mirrors.clear();
        config.guildId.clear();  // tests that want the widget set one
        seams.discordApiBase = server.WUrl() + L"api/guilds/";
        seams.pause = [](uint32_t) { Sleep(4); };  // a check about every 0.1 s
        seams.patcher.pause = [](uint32_t) { Sleep(1); };
        seams.patcher.roamingFolder = [this] { return dir.Join(L"roaming"); };
        seams.launcher.pause = [](uint32_t) {};
        seams.launcher.shellOpen = [this](const std::wstring& url) { opened.push_back(url); };
        seams.startThread = [threads = threads](std::function<void()> body) {
            ++threads->started;
            return std::thread([threads, body = std::move(body)] {
                body();
                ++threads->ended;
            });
        };
        dir.MakeDir(L"roaming");
        Maintenance("false");
        List("v 29\n");
    }
    ~BridgeTest() override {
        host.Release();
        bridge.reset();  // cancels and joins a worker still running
    }

    Bridge& Make(const std::wstring& folder = L"") {
        bridge = std::make_unique<Bridge>(config, folder.empty() ? dir.path() : folder, &host, seams);
        return *bridge;
    }
    void Send(const std::string& json) { bridge->OnWebMessage(Utf8ToWide(json)); }
    void Cmd(const std::string& name) { Send(R"({"cmd":")" + name + "\"}"); }

    void List(const std::string& text) { server.Serve("/patch/list.txt.gz", Gzip(text)); }
    void File(const std::string& name, const std::string& bytes) {
        server.Serve("/patch/" + name + ".gz", Gzip(bytes));
    }
    void Maintenance(const std::string& text) { server.Serve("/patch/MaintanenceCheck.txt", text); }
    static std::string FileLine(const std::string& name, size_t size) {
        return "f 1700000000 " + std::to_string(size) + " x " + name + "\n";
    }

    // Bounded waits: for the worker body to end, for "ready" with a value at
    // or after `from` (its index, or -1).
    bool WaitIdle() {
        return Until([this] { return !bridge->IsRunning(); });
    }
    int WaitReady(bool value, size_t from = 0) {
        const std::string want = value ? R"({"evt":"ready","canPlay":true})" : R"({"evt":"ready","canPlay":false})";
        return host.WaitForEventWhere([&](const std::string& e) { return e == want; }, 20000, from);
    }
    std::vector<std::string> EventsFrom(size_t from) const {
        const std::vector<std::string> all = host.Events();
        return {all.begin() + from, all.end()};
    }

    // Every thread the bridge has started, and those whose body has returned.
    struct Threads {
        std::atomic<int> started{0}, ended{0};
    };
    std::shared_ptr<Threads> threads = std::make_shared<Threads>();
    TempDir dir;  // the launcher's folder and the game folder
    HttpServer server;
    RecordingHost host;
    LauncherConfig config;
    Bridge::Seams seams;
    std::vector<std::wstring> opened;  // links the shell would have opened
    std::unique_ptr<Bridge> bridge;
};

using CommandsTest = BridgeTest;
using WorkerTest = BridgeTest;

TEST_F(CommandsTest, OnlyExactCommandsAreObeyedAndWindowCommandsReachTheHost) {
    Make();
    for (const char* ignored : {R"({"cmd":"UI.READY"})", R"({"cmd":"ui.ready "})", R"({"cmd":" window.close"})",
                                R"("{\"cmd\":\"ui.ready\"}")", R"({"command":"ui.ready"})", "not json", ""}) {
        Send(ignored);
    }
    Send(R"({"cmd":"window.drag","extra":[1,{"cmd":"x"}]})");  // arguments never confuse the name
    Cmd("window.minimize");
    for (const char* target : {"ranking", "News", "https://evil.example/", "news"}) {
        Send(std::string(R"({"cmd":"news.navigate","target":")") + target + "\"}");
    }
    Cmd("news.rect");
    Send(R"({"cmd":"news.rect","visible":false,"x":24,"y":96,"w":640,"h":-5})");
    Send(R"({"cmd":"news.rect","x":4294967297})");  // the low 32 bits: 1
    Cmd("window.close");
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginDrag", "Minimize", "NavigateNews", "NavigateNews",
                                                      "SetNewsRect", "SetNewsRect", "SetNewsRect", "Close"}));
    EXPECT_EQ(host.NavigatedUrls(), (std::vector<std::wstring>{L"https://www.veltrune.example/rankings.php",
                                                               L"https://www.veltrune.example/news.php"}));
    EXPECT_EQ(host.NewsRects(),
              (std::vector<NewsRect>{{0, 0, 0, 0, true}, {24, 96, 640, -5, false}, {1, 0, 0, 0, true}}));
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_EQ(host.EventCount(), 0u);  // commands get no replies
}

TEST_F(CommandsTest, OpenUrlOpensConfiguredWebLinksByKeyOnly) {
    LogCapture log;
    config.faq = L"https://faq.example/q";
    config.wiki = L"ftp://files.example/wiki";
    config.youtube.clear();
    Make();
    for (const char* target : {"faq", "register", "youtube", "https://evil.example/", "FAQ", "wiki", ""}) {
        Send(std::string(R"({"cmd":"openurl","target":")") + target + "\"}");
    }
    EXPECT_EQ(opened,
              (std::vector<std::wstring>{L"https://faq.example/q", L"https://www.veltrune.example/register.php"}));
    EXPECT_TRUE(log.Has("GameLaunch: refused non-web url"));
}

TEST_F(CommandsTest, PreferencesAreStoredAsSentAndInitReportsThem) {
    std::wstring askedFolder;
    seams.listBackgrounds = [&askedFolder](const std::wstring& folder) {
        askedFolder = folder;
        return std::vector<std::string>{"a\"b", "c\\d"};
    };
    Make();
    const auto init = [this] {  // what a (re)loaded page is told first
        const size_t from = host.EventCount();
        Cmd("ui.ready");
        return Only(EventsFrom(from), "init").at(0);
    };
    EXPECT_EQ(init(),  // no preferences file yet
              R"({"evt":"init","version":"v1.0.0","patchVersion":29,"clientCount":1,"animatedBg":true,)"
              R"("backgrounds":["a\"b","c\\d"],"links":{"register":"https://www.veltrune.example/register.php",)"
              R"("discord":"https://discord.gg/veltrune","youtube":"https://www.youtube.com/@veltrune",)"
              R"("facebook":"https://www.facebook.com/veltrune"}})");
    EXPECT_EQ(askedFolder, dir.Join(L"Config\\Assets"));

    const auto stored = [&](const std::string& args) {
        Send(R"({"cmd":"settings.setClientCount")" + args + "}");
        Send(R"({"cmd":"settings.setAnimatedBg")" + args + "}");
        const std::string e = init();
        return Field(e, "clientCount") + " " + Field(e, "animatedBg");
    };
    EXPECT_EQ(stored(R"(,"count":0,"enabled":false)"), "0 false");  // as stored, not clamped
    EXPECT_EQ(stored(""), "1 true");
    EXPECT_EQ(stored(R"(,"count":-7)"), "-7 true");
}

TEST_F(CommandsTest, GameOptionsAreOfferedAndSavedWithTheGamesDefaults) {
    config.maxKiBps = 2048;
    dir.Write(L"Config/Settings.ini",
              "detail 3\r\ndistant 2\r\nview 2\r\nshadow 2\r\nfullscreen 1\r\nresolution 1600 900\r\n");
    seams.displayModes = [](uint32_t i, int32_t& w, int32_t& h) {
        w = 1024 + 896 * static_cast<int32_t>(i);
        h = 768 + 312 * static_cast<int32_t>(i);
        return i < 2;
    };
    Make();
    Cmd("options.load");
    EXPECT_EQ(host.Events().at(0),
              R"({"evt":"options","detail":3,"distant":2,"view":2,"shadow":2,"fullscreen":true,"resW":1600,)"
              R"("resH":900,"resolutions":[{"w":1024,"h":768},{"w":1920,"h":1080}],"maxKiBps":2048})");

    Cmd("options.save");  // every option falls back to its default
    EXPECT_EQ(dir.Read(L"Config/Settings.ini"),
              "detail 2\r\ndistant 2\r\nview 2\r\nshadow 2\r\nfullscreen 0\r\nresolution 1024 768\r\n");
}

// The cap is the player's: it never goes into Veltrune.ini, and a new
// Veltrune.ini (an installer's, a key rotation's) takes away neither a cap an
// older launcher left there nor one the player sets now.
TEST_F(CommandsTest, TheBandwidthCapOutlivesANewVeltruneIni) {
    const auto start = [this](const std::string& veltruneIni) {  // a launcher start beside this Veltrune.ini
        bridge.reset();
        dir.Write(L"Veltrune.ini", veltruneIni);
        config.maxKiBps = static_cast<int32_t>(
            GetPrivateProfileIntW(L"patch", L"maxKiBps", 0, dir.Join(L"Veltrune.ini").c_str()));
        Make();
    };
    const auto offered = [this] {
        Cmd("options.load");
        return Field(host.Events().back(), "maxKiBps");
    };
    const std::string shipped = "[patch]\r\nmaxKiBps=0\r\n";

    start("[patch]\r\nmaxKiBps=300\r\n");  // an older launcher's choice
    start(shipped);
    EXPECT_EQ(offered(), "300");
    Send(R"({"cmd":"settings.setMaxKiBps","maxKiBps":1024})");
    EXPECT_EQ(dir.Read(L"Veltrune.ini"), shipped);
    start("[patch]\r\nmaxKiBps=64\r\n");
    EXPECT_EQ(offered(), "1024");
    Send(R"({"cmd":"settings.setMaxKiBps","maxKiBps":-3})");  // no cap, like 0
    start(shipped);
    EXPECT_EQ(offered(), "0");
}

TEST_F(WorkerTest, OneBodyRunsWhateverIsAskedWhileItRunsAndEachUiReadyFetchesTheWidget) {
    config.guildId = L"42";
    server.Serve("/api/guilds/42/widget.json", R"({"presence_count":3})");
    Make();
    for (const char* cmd : {"ui.ready", "patch.start", "patch.retry", "ui.ready"}) Cmd(cmd);
    const int ready = WaitReady(true);
    ASSERT_GE(ready, 0);
    ASSERT_TRUE(Until([this] { return Only(host.Events(), "discord").size() == 2; }));
    const auto ev = host.Events();
    EXPECT_EQ(EventName(ev[0]), "init");
    EXPECT_EQ(Only(ev, "discord"), std::vector<std::string>(2, R"({"evt":"discord","json":"{\"presence_count\":3}"})"));
    EXPECT_EQ(Only({ev.begin(), ev.begin() + ready}, "phase"), (std::vector<std::string>{"checking", "finished"}));
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 1);
}

// What one pass that downloads a file tells the page, members in order; the
// speed, which varies, reads "S".
TEST_F(WorkerTest, APassReportsEachStepWithItsMembersInOrder) {
    const std::string a = Noise(3u << 19, 5);  // 1.5 MiB
    List("v 29\nd Data\n" + FileLine("a b.dat", a.size()));
    server.Serve("/patch/Data/a%20b.dat.gz", Gzip(a));
    Make();
    Cmd("patch.start");
    ASSERT_GE(WaitReady(true), 0);
    std::vector<std::string> ev;
    for (const std::string& e : host.Events()) ev.push_back(std::regex_replace(e, std::regex(R"("speed":[0-9.]+)"), "\"speed\":S"));
    const std::vector<std::string> blocks = Only(ev, "progress");
    ASSERT_GE(blocks.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(blocks.end() - 2, blocks.end()),
              (std::vector<std::string>{
                  R"({"evt":"progress","filePercent":100,"speed":S,"doneMb":1.50,"file":"Data\\a b.dat",)"
                  R"("fileIndex":0,"fileCount":1,"totalPercent":0,"downloadMb":1.50,"downloadedMb":1.50,"reusedMb":0.00})",
                  R"({"evt":"progress","fileIndex":1,"fileCount":1,"totalPercent":100,"downloadMb":1.50,)"
                  R"("downloadedMb":1.50,"reusedMb":0.00})"}));
    ev.erase(std::remove_if(ev.begin(), ev.end(), [](const std::string& e) { return EventName(e) == "progress"; }),
             ev.end());
    EXPECT_EQ(ev, (std::vector<std::string>{R"({"evt":"maintenance","active":false})",
                                            R"({"evt":"phase","phase":"checking","text":""})",
                                            R"({"evt":"filecount","fileCount":1})",
                                            R"({"evt":"phase","phase":"downloading","text":""})",
                                            R"({"evt":"phase","phase":"finished","text":""})",
                                            R"({"evt":"ready","canPlay":true})"}));
}

// A launcher whose pass has finished, its body checking for maintenance
// about every 0.1 s. The pause between client starts waits for `gate`; left
// open, as a job may still wake from it.
class ReadyTest : public BridgeTest {
protected:
    ReadyTest() {
        seams.launcher.pause = [gate = gate](uint32_t) { WaitForSingleObject(gate, 20000); };
        const std::string a = Noise(1u << 19, 7), b = Noise(1u << 20, 8);  // 0.5 and 1 MiB
        List("v 29\n#hash sha256\n" + HashedLine("a.dat", a) + HashedLine("b.dat", b));
        File("a.dat", a);
        File("b.dat", b);
    }
    void SetUp() override {
        Make();
        Cmd("ui.ready");
        ASSERT_GE(WaitReady(true), 0);
    }
    static std::string HashedLine(const std::string& name, const std::string& bytes) {
        return "f 1700000000 " + std::to_string(bytes.size()) + " " + Sha256Hex(bytes.data(), bytes.size()) + " " +
               name + "\n";
    }
    // What a reloaded page gets beside "init", the body held at its next
    // maintenance event meanwhile.
    std::string Reload() {
        const auto maintenance = [](const std::string& e) { return EventName(e) == "maintenance"; };
        const size_t before = host.EventCount();
        host.HoldAt(maintenance);
        EXPECT_GE(host.WaitForEventWhere(maintenance, 20000, before), 0);
        const size_t from = host.EventCount();
        Cmd("ui.ready");
        const auto ev = EventsFrom(from);
        host.Release();
        return ev.size() == 3 && EventName(ev[0]) == "init" ? ev[1] + ev[2] : "<" + std::to_string(ev.size()) + ">";
    }
    const HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

TEST_F(ReadyTest, AReloadedPageGetsTheCurrentStateWithoutAPass) {
    EXPECT_EQ(Reload(), R"({"evt":"maintenance","active":false}{"evt":"ready","canPlay":true})");
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 1);
}

TEST_F(ReadyTest, MaintenanceWithdrawsPlayUntilAFullPassFollowsIt) {
    Maintenance("true");
    const int withdrawn = WaitReady(false);
    ASSERT_GE(withdrawn, 0);
    EXPECT_EQ(host.Events()[withdrawn - 1], R"({"evt":"maintenance","active":true})");
    Cmd("game.play");  // refused: play is withdrawn
    EXPECT_EQ(Reload(), R"({"evt":"maintenance","active":true}{"evt":"ready","canPlay":false})");
    Maintenance("false");
    ASSERT_GE(WaitReady(true, withdrawn), 0);
    EXPECT_EQ(Only(EventsFrom(withdrawn), "phase"), (std::vector<std::string>{"checking", "finished"}));
    EXPECT_TRUE(Only(host.Events(), "launch").empty());
}

TEST_F(ReadyTest, ARepairWithdrawsPlayWhileItHashesEveryFile) {
    const size_t from = host.EventCount();
    Cmd("patch.verify");
    ASSERT_GE(WaitReady(true, from), 0);
    const auto ev = EventsFrom(from);
    EXPECT_EQ(Only(ev, "ready").front(), R"({"evt":"ready","canPlay":false})");
    EXPECT_EQ(Only(ev, "phase"), (std::vector<std::string>{"checking", "verifying", "finished"}));
    std::vector<std::string> verified;
    for (const char* done : {"0,\"fileCount\":2,\"doneMb\":0.00", "1,\"fileCount\":2,\"doneMb\":0.50",
                             "2,\"fileCount\":2,\"doneMb\":1.50"}) {
        verified.push_back(R"({"evt":"verify","files":)" + std::string(done) + R"(,"totalMb":1.50})");
    }
    EXPECT_EQ(Only(ev, "verify"), verified);
}

TEST_F(ReadyTest, OnePlayStartsTheClientsAndASecondIsRefusedMeanwhile) {
    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"quorvane.exe").c_str(), FALSE));
    LogCapture log;
    const size_t from = host.EventCount();
    const int threadsBefore = threads->started;
    Send(R"({"cmd":"game.play","clients":3})");
    Send(R"({"cmd":"game.play","clients":3})");
    EXPECT_TRUE(log.Has("Bridge: Play ignored: the clients of the last Play are still starting"));
    EXPECT_EQ(threads->started - threadsBefore, 1);  // one launch thread, no second batch
    Cmd("ui.ready");  // a page reloaded meanwhile learns that a launch is under way
    SetEvent(gate);
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 30000));
    EXPECT_TRUE(Until([&] { return ReadFakeStarts(record).size() == 3; }));
    EXPECT_EQ(Only(EventsFrom(from), "launch"),
              (std::vector<std::string>{R"({"evt":"launch","active":true})", R"({"evt":"launch","active":true})",
                                        R"({"evt":"launch","active":false,"started":3})"}));
    EXPECT_EQ(host.CountCalls("Close"), 1);
}

// Each failure ends the pass with play withdrawn and a text the player can act on.
TEST_F(WorkerTest, AFailedPassSaysWhatToDo) {
    auto failure = [this](const std::wstring& folder = L"") {
        Make(folder);
        const size_t from = host.EventCount();
        Cmd("patch.start");
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
    // Genuinely signed but expired by this computer's clock: the clock is the suspect.
    const test::ListSigner signer;
    config.listKey = Utf8ToWide(signer.PublicKey());
    List(signer.Sign("v 29\n#serial 5\n#expires 1000\nd made\n" + FileLine("a.dat", 3)));
    EXPECT_EQ(failure(),
              "The patch list has expired by this computer's clock. Please check the date and time of this "
              "computer; if they are right, try again later. Your game files were not changed.");
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
    ASSERT_TRUE(FillDisk(disks.full + L"\\filler", 3u << 20));
    const std::string big = Noise(2u << 20, 3);  // more than the disk has left
    List("v 29\nd game\n" + FileLine("big.dat", big.size()));
    File("game/big.dat", big);
    // Found before a byte is fetched, with the drive and what the file needs.
    const std::string full = failure(disks.full);
    EXPECT_EQ(full.rfind("The launcher could not write to the folder\n" + WideToUtf8(disks.full) +
                             "\\game\n(not enough disk space on ",
                         0),
              0u)
        << full;
    EXPECT_NE(full.find(": 2.0 MiB needed). Free some space on that disk, then try again."), std::string::npos) << full;
    bridge.reset();
    DeleteFileW((disks.full + L"\\filler").c_str());
    RemoveDirectoryW((disks.full + L"\\game").c_str());
}

TEST_F(WorkerTest, AnOutdatedLauncherHandsOverOnlyOnceTheUpdaterStarts) {
    LogCapture log;
    List("v 29\n" + FileLine("a.dat", 3) + "v 30\n");
    File("a.dat", "abc");
    File("newLauncher.exe", "NEW LAUNCHER");
    Make();  // no updater.exe yet: the window stays open with an error
    Cmd("patch.start");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(EventsFrom(host.EventCount() - 2),
              (std::vector<std::string>{R"({"evt":"ready","canPlay":false})",
                                        R"({"evt":"error","message":"The launcher update could not be started. Please )"
                                        R"(make sure updater.exe is in the game folder and not blocked by security )"
                                        R"(software, then press Retry."})"}));
    EXPECT_TRUE(log.Has("Bridge: the launcher update was not handed over (the updater did not start); staying open"));
    EXPECT_EQ(host.CountCalls("Close"), 0);

    const std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"updater.exe").c_str(), FALSE));
    const size_t from = host.EventCount();
    Cmd("patch.retry");
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 20000));
    ASSERT_TRUE(WaitIdle());
    const auto ev = EventsFrom(from);
    EXPECT_EQ(ev.back(), R"({"evt":"phase","phase":"updating","text":""})");  // the last word: no ready, no error
    EXPECT_TRUE(Only(ev, "ready").empty());
    ASSERT_TRUE(Until([&] { return ReadFakeStarts(record).size() == 1; }));
    const auto starts = ReadFakeStarts(record);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].commandLine.find(L"\"" + dir.Join(L"roaming\\Quorvane\\newLauncher.exe") + L"\""),
              std::wstring::npos);
}

TEST_F(WorkerTest, AThreadThatCannotBeCreatedLeavesTheBridgeUsable) {
    LogCapture log;
    int refusals = 1;
    seams.startThread = [&refusals](std::function<void()> body) {
        if (refusals-- > 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    Make();
    Cmd("patch.start");
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_EQ(log.Lines().back().rfind("Bridge: could not start the worker thread (", 0), 0u);
    Cmd("patch.start");
    ASSERT_GE(WaitReady(true), 0);
    refusals = 1;  // now the Play thread: its end is announced at once, and nothing closes
    Cmd("game.play");
    EXPECT_EQ(Only(host.Events(), "launch").back(), R"({"evt":"launch","active":false,"started":0})");
    EXPECT_EQ(host.CountCalls("Close"), 0);
    Send(R"({"cmd":"game.play","clients":0})");  // not held back by the launch that never ran
    EXPECT_TRUE(host.WaitForCalls("Close", 1, 20000));
    EXPECT_NE(dir.Read(L"PatcherSettings.ini").find("ClientCount=1"), std::string::npos);
}

// A start asked for while a body ends (a Resume after Cancel, a Retry at the
// error) runs the next pass as soon as that body has ended; a Cancel after
// it is the player's last word.
TEST_F(WorkerTest, AStartAskedForWhileThePassEndsIsKeptForWhenItHasEnded) {
    struct Row {
        const char* name;
        std::string holdAt;  // the event the ending body is held at
        std::vector<const char*> commands;
        bool again;
    };
    const Row rows[] = {{"Resume after Cancel", "maintenance", {"patch.cancel", "patch.start"}, true},
                        {"Retry at the error", "error", {"patch.retry"}, true},
                        {"Cancel after Resume", "maintenance", {"patch.cancel", "patch.start", "patch.cancel"}, false}};
    const auto isMaintenance = [](const std::string& e) { return EventName(e) == "maintenance"; };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.holdAt == "error") server.Set("/patch/list.txt.gz", Reply::Status(500));
        Make();
        host.HoldAt([&row](const std::string& e) { return EventName(e) == row.holdAt; });
        const size_t from = host.EventCount();
        Cmd("patch.start");
        const int at = host.WaitForEventWhere([&row](const std::string& e) { return EventName(e) == row.holdAt; },
                                              20000, from);
        ASSERT_GE(at, 0);
        List("v 29\n");  // the next pass succeeds
        for (const char* cmd : row.commands) Cmd(cmd);
        EXPECT_TRUE(bridge->IsRunning());
        host.Release();
        if (row.again) {
            const int again = host.WaitForEventWhere(isMaintenance, 20000, at + 1);
            ASSERT_GE(again, 0);
            EXPECT_GE(WaitReady(true, again), 0);
        } else {
            ASSERT_TRUE(WaitIdle());
            EXPECT_EQ(Only(EventsFrom(at + 1), "maintenance").size(), 0u);
        }
    }
}

TEST_F(WorkerTest, TheWidgetTravelsAsOneJsonStringAndEveryFailureAsTheErrorForm) {
    LogCapture log;
    const std::string body = "{\"name\":\"Quorvane \\\"EU\\\"\",\"m\":\"Zo\xC3\xAB\"}\n\t<not json>";
    const std::string limit = "{\"n\":\"" + std::string((1u << 20) - 8, 'x') + "\"}";  // exactly 1 MiB
    const std::string failed = R"({"evt":"discord","error":true})";
    server.Serve("/api/guilds/ok/widget.json", body);
    server.Serve("/api/guilds/limit/widget.json", limit);
    server.Serve("/api/guilds/big/widget.json", limit + " ");
    server.Serve("/api/guilds/empty/widget.json", "");
    server.Set("/api/guilds/broken/widget.json", Reply::Status(500, "oops"));
    // The widget as the page's JSON.parse of "json" gives it, or the error form.
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"ok", body},          {"limit", limit},       {"big", failed},
        {"empty", failed},     {"broken", failed},     {"disabled", failed}};  // the last: 404
    for (const auto& [guild, want] : rows) {
        const size_t from = host.EventCount();
        FetchDiscordWidget({Utf8ToWide(guild), std::shared_ptr<IHostActions>(&host, [](IHostActions*) {}),
                            seams.discordApiBase});
        const auto ev = EventsFrom(from);
        ASSERT_EQ(ev.size(), 1u) << guild;
        EXPECT_EQ(want == failed ? ev[0] : Field(ev[0], "json"), want) << guild;
    }
    EXPECT_EQ(host.Events()[0].find_first_of("\n\t"), std::string::npos);
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
    Cmd("ui.ready");
    ASSERT_TRUE(Until([this] { return server.CountRequests("/api/guilds/7/widget.json") == 1; }));
    bridge.reset();  // stops the worker as start-up does; then the window goes
    host.Retire();
    ASSERT_TRUE(Until([this] { return threads->ended == threads->started; }));  // the fetch has ended too
    EXPECT_TRUE(log.Has("Discord: widget fetched"));
    EXPECT_EQ(host.CallsAfterRetire(), 0);
}

}  // namespace
}  // namespace vr::test

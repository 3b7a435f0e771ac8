// The bridge with the real patcher and a stand-in client, a loopback patch
// and Discord server and a recording host: what the page sends and is told.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
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
#include "text/text.h"

namespace vr::test {
namespace {

using Texts = std::vector<std::string>;

// A bounded wait for what no event announces (a file, a thread's end).
bool Until(const std::function<bool()>& done) {
    for (int waited = 0; waited < 20000 && !done(); waited += 5) Sleep(5);
    return done();
}

constexpr char kReady[] = R"({"evt":"ready","canPlay":true})";
constexpr char kWithdrawn[] = R"({"evt":"ready","canPlay":false})";

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
            return std::thread([threads, body = std::move(body)] { body(), ++threads->ended; });
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
    void Cmd(const std::string& name, const std::string& args = "") {
        Send(R"({"cmd":")" + name + "\"" + (args.empty() ? "" : ",") + args + "}");
    }

    void List(const std::string& text) { server.Serve("/patch/list.txt.gz", Gzip(text)); }
    void File(const std::string& name, const std::string& bytes) {
        server.Serve("/patch/" + name + ".gz", Gzip(bytes));
    }
    void Maintenance(const std::string& text) { server.Serve("/patch/MaintanenceCheck.txt", text); }
    static std::string FileLine(const std::string& name, size_t size, const std::string& hash = "x") {
        return "f 1700000000 " + std::to_string(size) + " " + hash + " " + name + "\n";
    }
    bool WaitIdle() {
        return Until([this] { return !bridge->IsRunning(); });
    }
    // Every thread the bridge has started, and those whose body has returned.
    struct Threads {
        std::atomic<int> started{0}, ended{0};
    };
    std::shared_ptr<Threads> threads = std::make_shared<Threads>();
    TempDir dir;  // the launcher's folder and the game folder
    const std::wstring record = dir.Join(L"starts.txt");
    const ScopedEnv recordEnv{L"VR_FAKE_RECORD", record};  // where the stand-in client records its starts
    HttpServer server;
    RecordingHost host;
    LauncherConfig config;
    Bridge::Seams seams;
    std::vector<std::wstring> opened;  // links the shell would have opened
    std::unique_ptr<Bridge> bridge;
};

using CommandsTest = BridgeTest;
using WorkerTest = BridgeTest;

// Commands by exact name, news pages and web links by key; web links as configured.
TEST_F(CommandsTest, OnlyExactNamesAndKeysAreObeyed) {
    LogCapture log;
    config.faq = L"https://faq.example/q";
    config.wiki = L"ftp://files.example/wiki";
    config.youtube.clear();
    Make();
    for (const char* ignored : {R"({"cmd":"UI.READY"})", R"({"cmd":"ui.ready "})", R"({"cmd":" window.close"})",
                                R"("{\"cmd\":\"ui.ready\"}")", R"({"command":"ui.ready"})", "not json", ""}) {
        Send(ignored);
    }
    Cmd("window.drag", R"("extra":[1,{"cmd":"x"}])");  // arguments never confuse the name
    Cmd("window.minimize");
    for (std::string target : {"ranking", "News", "https://evil.example/", "news"}) {
        Cmd("news.navigate", R"("target":")" + target + "\"");
    }
    Cmd("news.rect");
    Cmd("news.rect", R"("visible":false,"x":24,"y":96,"w":640,"h":-5)");
    Cmd("news.rect", R"("x":4294967297)");  // the low 32 bits: 1
    Cmd("window.close");
    EXPECT_EQ(host.Calls(), (Texts{"BeginDrag", "Minimize", "NavigateNews", "NavigateNews", "SetNewsRect",
                                   "SetNewsRect", "SetNewsRect", "Close"}));
    EXPECT_EQ(host.NavigatedUrls(), (std::vector<std::wstring>{L"https://www.veltrune.example/rankings.php",
                                                               L"https://www.veltrune.example/news.php"}));
    EXPECT_EQ(host.NewsRects(),
              (std::vector<NewsRect>{{0, 0, 0, 0, true}, {24, 96, 640, -5, false}, {1, 0, 0, 0, true}}));
    for (std::string target : {"faq", "register", "youtube", "https://evil.example/", "FAQ", "wiki", ""}) {
        Cmd("openurl", R"("target":")" + target + "\"");
    }
    EXPECT_EQ(opened,
              (std::vector<std::wstring>{L"https://faq.example/q", L"https://www.veltrune.example/register.php"}));
    EXPECT_TRUE(log.Has("GameLaunch: refused non-web url"));
    EXPECT_FALSE(bridge->IsRunning());
    EXPECT_EQ(host.EventCount(), 0u);  // commands get no replies
}

TEST_F(CommandsTest, PreferencesAreStoredAsSentAndInitReportsThem) {
    std::wstring askedFolder;
    seams.listBackgrounds = [&askedFolder](const std::wstring& folder) {
        askedFolder = folder;
        return Texts{"a\"b", "c\\d"};
    };
    Make();
    const auto init = [this] {  // what a (re)loaded page is told first
        const size_t from = host.EventCount();
        Cmd("ui.ready");
        return host.EventsNamed("init", from).at(0);
    };
    EXPECT_EQ(init(),  // no preferences file yet
              R"({"evt":"init","version":"v1.0.0","patchVersion":29,"clientCount":1,"animatedBg":true,)"
              R"("backgrounds":["a\"b","c\\d"],"links":{"register":"https://www.veltrune.example/register.php",)"
              R"("discord":"https://discord.gg/veltrune","youtube":"https://www.youtube.com/@veltrune",)"
              R"("facebook":"https://www.facebook.com/veltrune"}})");
    EXPECT_EQ(askedFolder, dir.Join(L"Config\\Assets"));
    const auto stored = [&](const std::string& args) {
        Cmd("settings.setClientCount", args);
        Cmd("settings.setAnimatedBg", args);
        const std::string e = init();
        return EventField(e, "clientCount") + " " + EventField(e, "animatedBg");
    };
    EXPECT_EQ(stored(R"("count":0,"enabled":false)"), "0 false");  // as stored, not clamped
    EXPECT_EQ(stored(""), "1 true");
    EXPECT_EQ(stored(R"("count":-7)"), "-7 true");
}

TEST_F(CommandsTest, GameOptionsAreOfferedAndSavedWithTheGamesDefaults) {
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
              R"("resH":900,"resolutions":[{"w":1024,"h":768},{"w":1920,"h":1080}],"maxKiBps":0})");
    Cmd("options.save");  // every option falls back to its default
    EXPECT_EQ(dir.Read(L"Config/Settings.ini"),
              "detail 2\r\ndistant 2\r\nview 2\r\nshadow 2\r\nfullscreen 0\r\nresolution 1024 768\r\n");
}

// The cap is the player's: never written to Veltrune.ini, and kept when a new
// Veltrune.ini (an installer's, a key rotation's) arrives.
TEST_F(CommandsTest, TheBandwidthCapOutlivesANewVeltruneIni) {
    const std::string shipped = "[patch]\r\nmaxKiBps=0\r\n";
    const auto offered = [this](const std::string& veltruneIni) {  // at a launcher start beside this Veltrune.ini
        bridge.reset();
        dir.Write(L"Veltrune.ini", veltruneIni);
        config.maxKiBps =
            static_cast<int32_t>(GetPrivateProfileIntW(L"patch", L"maxKiBps", 0, dir.Join(L"Veltrune.ini").c_str()));
        Make();
        Cmd("options.load");
        return EventField(host.Events().back(), "maxKiBps");
    };
    EXPECT_EQ(offered("[patch]\r\nmaxKiBps=300\r\n"), "300");  // an older launcher's choice
    EXPECT_EQ(offered(shipped), "300");
    Cmd("settings.setMaxKiBps", R"("maxKiBps":1024)");
    EXPECT_EQ(dir.Read(L"Veltrune.ini"), shipped);
    EXPECT_EQ(offered("[patch]\r\nmaxKiBps=64\r\n"), "1024");
    Cmd("settings.setMaxKiBps", R"("maxKiBps":-3)");  // no cap, like 0, and kept as such
    EXPECT_EQ(offered("[patch]\r\nmaxKiBps=64\r\n"), "0");
}

// What a pass that downloads a file tells the page; the speed, which varies, reads S.
TEST_F(WorkerTest, APassReportsEachStepWithItsMembersInOrder) {
    const std::string a = Noise(3u << 19, 5);  // 1.5 MiB
    List("v 29\nd Data\n" + FileLine("a b.dat", a.size()));
    server.Serve("/patch/Data/a%20b.dat.gz", Gzip(a));
    Make();
    Cmd("patch.start");
    ASSERT_GE(host.WaitForEvent(kReady), 0);
    Texts steps, blocks;
    for (const std::string& e : host.Events()) {
        (EventName(e) == "progress" ? blocks : steps)
            .push_back(std::regex_replace(e, std::regex("\"speed\":[0-9.]+"), "\"speed\":S"));
    }
    EXPECT_EQ(steps,
              (Texts{R"({"evt":"maintenance","active":false})", R"({"evt":"phase","phase":"checking","text":""})",
                     R"({"evt":"filecount","fileCount":1})", R"({"evt":"phase","phase":"downloading","text":""})",
                     R"({"evt":"phase","phase":"finished","text":""})", kReady}));
    ASSERT_GE(blocks.size(), 2u);
    EXPECT_EQ(
        Texts(blocks.end() - 2, blocks.end()),
        (Texts{R"({"evt":"progress","filePercent":100,"speed":S,"doneMb":1.50,"file":"Data\\a b.dat",)"
               R"("fileIndex":0,"fileCount":1,"totalPercent":0,"downloadMb":1.50,"downloadedMb":1.50,"reusedMb":0.00})",
               R"({"evt":"progress","fileIndex":1,"fileCount":1,"totalPercent":100,"downloadMb":1.50,)"
               R"("downloadedMb":1.50,"reusedMb":0.00})"}));
}

// A launcher whose pass has finished, its body checking for maintenance about
// every 0.1 s; the pause between client starts waits for `gate`.
class ReadyTest : public BridgeTest {
protected:
    void SetUp() override {
        seams.launcher.pause = [gate = gate](uint32_t) { WaitForSingleObject(gate, 20000); };
        const std::string a = Noise(1u << 19, 7), b = Noise(1u << 20, 8);  // 0.5 and 1 MiB
        List("v 29\n#hash sha256\n" + FileLine("a.dat", a.size(), Sha256Hex(a.data(), a.size())) +
             FileLine("b.dat", b.size(), Sha256Hex(b.data(), b.size())));
        File("a.dat", a);
        File("b.dat", b);
        Make();
        Cmd("ui.ready");
        ASSERT_GE(host.WaitForEvent(kReady), 0);
    }
    // What a reloaded page gets beside "init", the body held at its next maintenance check.
    std::string Reload() {
        const size_t before = host.EventCount();
        host.HoldAt([](const std::string& e) { return EventName(e) == "maintenance"; });
        EXPECT_GE(host.WaitForEvent("maintenance", before), 0);
        const size_t from = host.EventCount();
        Cmd("ui.ready");
        const Texts ev = host.Events(from);
        host.Release();
        return ev.size() == 3 && EventName(ev[0]) == "init" ? ev[1] + ev[2] : "<" + std::to_string(ev.size()) + ">";
    }
    const HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

TEST_F(ReadyTest, AReloadedPageGetsTheStateAndMaintenanceWithdrawsPlayUntilAPassFollows) {
    EXPECT_EQ(Reload(), R"({"evt":"maintenance","active":false})" + std::string(kReady));
    EXPECT_EQ(server.CountRequests("/patch/list.txt.gz"), 1);  // no pass for the reload
    Maintenance("true");
    const int withdrawn = host.WaitForEvent(kWithdrawn);
    ASSERT_GE(withdrawn, 1);
    EXPECT_EQ(host.Events()[withdrawn - 1], R"({"evt":"maintenance","active":true})");
    Cmd("game.play");  // refused: play is withdrawn
    EXPECT_EQ(Reload(), R"({"evt":"maintenance","active":true})" + std::string(kWithdrawn));
    Maintenance("false");
    ASSERT_GE(host.WaitForEvent(kReady, withdrawn), 0);
    EXPECT_EQ(host.EventsNamed("phase", withdrawn, "phase"), (Texts{"checking", "finished"}));
    EXPECT_TRUE(host.EventsNamed("launch").empty());
}

TEST_F(ReadyTest, ARepairWithdrawsPlayWhileItHashesEveryFile) {
    const size_t from = host.EventCount();
    Cmd("patch.verify");
    ASSERT_GE(host.WaitForEvent(kReady, from), 0);
    EXPECT_EQ(host.EventsNamed("ready", from).front(), kWithdrawn);
    EXPECT_EQ(host.EventsNamed("phase", from, "phase"), (Texts{"checking", "verifying", "finished"}));
    EXPECT_EQ(host.EventsNamed("verify", from, "files"), (Texts{"0", "1", "2"}));
    EXPECT_EQ(host.EventsNamed("verify", from).back(),
              R"({"evt":"verify","files":2,"fileCount":2,"doneMb":1.50,"totalMb":1.50})");
}

TEST_F(ReadyTest, OnePlayStartsTheClientsAndASecondIsRefusedMeanwhile) {
    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"quorvane.exe").c_str(), FALSE));
    const size_t from = host.EventCount();
    const int threadsBefore = threads->started;
    Cmd("game.play", R"("clients":3)");
    Cmd("game.play", R"("clients":3)");
    EXPECT_EQ(threads->started - threadsBefore, 1);  // one launch thread, no second batch
    Cmd("ui.ready");                                 // a page reloaded meanwhile learns that a launch is under way
    SetEvent(gate);
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 30000));
    EXPECT_TRUE(Until([&] { return ReadFakeStarts(record).size() == 3; }));
    EXPECT_EQ(host.EventsNamed("launch", from),
              (Texts{R"({"evt":"launch","active":true})", R"({"evt":"launch","active":true})",
                     R"({"evt":"launch","active":false,"started":3})"}));
}

// Each failure ends the pass with play withdrawn and a text the player can act on.
TEST_F(WorkerTest, AFailedPassSaysWhatToDo) {
    auto failure = [this](const std::wstring& folder = L"") {
        Make(folder);
        const size_t from = host.EventCount();
        Cmd("patch.start");
        EXPECT_TRUE(WaitIdle());
        const Texts ev = host.Events(from);
        EXPECT_FALSE(bridge->CanPlay());
        return ev.size() < 2 || ev[ev.size() - 2] != kWithdrawn ? "<none>" : EventField(ev.back(), "message");
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
    // Found before a byte is fetched, with the drive (read D here) and what the file needs.
    EXPECT_EQ(
        std::regex_replace(failure(disks.full), std::regex("space on [^\n]*: "), "space on D: "),
        "The launcher could not write to the folder\n" + WideToUtf8(disks.full) +
            "\\game\n(not enough disk space on D: 2.0 MiB needed). Free some space on that disk, then try again.");
    bridge.reset();
    DeleteFileW((disks.full + L"\\filler").c_str());
    RemoveDirectoryW((disks.full + L"\\game").c_str());
}

TEST_F(WorkerTest, AnOutdatedLauncherHandsOverOnlyOnceTheUpdaterStarts) {
    List("v 29\n" + FileLine("a.dat", 3) + "v 30\n");
    File("a.dat", "abc");
    File("newLauncher.exe", "NEW LAUNCHER");
    Make();  // no updater.exe yet: the window stays open with an error
    Cmd("patch.start");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(host.Events(host.EventCount() - 2),
              (Texts{kWithdrawn, R"({"evt":"error","message":"The launcher update could not be started. Please )"
                                 R"(make sure updater.exe is in the game folder and not blocked by security )"
                                 R"(software, then press Retry."})"}));
    EXPECT_EQ(host.CountCalls("Close"), 0);

    ASSERT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"updater.exe").c_str(), FALSE));
    const size_t from = host.EventCount();
    Cmd("patch.retry");
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 20000));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(host.Events(from).back(), R"({"evt":"phase","phase":"updating","text":""})");  // no ready, no error
    EXPECT_TRUE(host.EventsNamed("ready", from).empty());
    ASSERT_TRUE(Until([&] { return ReadFakeStarts(record).size() == 1; }));
    EXPECT_NE(
        ReadFakeStarts(record)[0].commandLine.find(L"\"" + dir.Join(L"roaming\\Quorvane\\newLauncher.exe") + L"\""),
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
    ASSERT_GE(host.WaitForEvent(kReady), 0);
    refusals = 1;  // now the Play thread: its end is announced at once, and nothing closes
    Cmd("game.play");
    EXPECT_EQ(host.EventsNamed("launch").back(), R"({"evt":"launch","active":false,"started":0})");
    EXPECT_EQ(host.CountCalls("Close"), 0);
    Cmd("game.play", R"("clients":0)");  // not held back by the launch that never ran
    EXPECT_TRUE(host.WaitForCalls("Close", 1, 20000));
    EXPECT_NE(dir.Read(L"PatcherSettings.ini").find("ClientCount=1"), std::string::npos);
}

// A start asked for while a body ends runs the next pass once it has ended; a
// later Cancel forgets it, and starts during a running pass are answered by it.
TEST_F(WorkerTest, AStartAskedForWhileThePassEndsIsKeptForWhenItHasEnded) {
    struct Row {
        const char* name;
        bool failing;        // the pass held fails
        std::string heldAt;  // the event its body is held at
        Texts commands;
        bool again;
    } const rows[] = {
        {"Resume after Cancel", false, "maintenance", {"patch.cancel", "patch.start"}, true},
        {"Retry at the error", true, "error", {"patch.retry"}, true},
        {"Cancel after Resume", false, "maintenance", {"patch.cancel", "patch.start", "patch.cancel"}, false},
        {"starts while the pass runs", true, "phase", {"patch.start", "patch.retry"}, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.failing ? server.Set("/patch/list.txt.gz", Reply::Status(500)) : List("v 29\n");
        Make();
        host.HoldAt([&row](const std::string& e) { return EventName(e) == row.heldAt; });
        const size_t from = host.EventCount();
        Cmd("patch.start");
        const int at = host.WaitForEvent(row.heldAt, from);
        ASSERT_GE(at, 0);
        if (row.again) List("v 29\n");  // the next pass succeeds
        for (const std::string& cmd : row.commands) Cmd(cmd);
        EXPECT_TRUE(bridge->IsRunning());
        host.Release();
        if (row.again) {
            EXPECT_GE(host.WaitForEvent(kReady, host.WaitForEvent("maintenance", at + 1)), 0);
        } else {
            ASSERT_TRUE(WaitIdle());
            EXPECT_EQ(host.EventsNamed("maintenance", at + 1).size(), 0u);
        }
    }
}

TEST_F(WorkerTest, TheWidgetTravelsAsOneJsonStringAndEveryFailureAsTheErrorForm) {
    LogCapture log;
    const std::string body = "{\"name\":\"Quorvane \\\"EU\\\"\",\"m\":\"Zo\xC3\xAB\"}\n\t<not json>";
    const std::string limit = "{\"n\":\"" + std::string((1u << 20) - 8, 'x') + "\"}";  // exactly 1 MiB
    const std::string failed = R"({"evt":"discord","error":true})";
    // The widget as the page's JSON.parse of "json" gives it, or the error form.
    for (const auto& [guild, reply, want] :
         std::vector<std::tuple<std::string, Reply, std::string>>{{"ok", Reply::Ok(body), body},
                                                                  {"limit", Reply::Ok(limit), limit},
                                                                  {"big", Reply::Ok(limit + " "), failed},
                                                                  {"empty", Reply::Ok(""), failed},
                                                                  {"broken", Reply::Status(500, "oops"), failed},
                                                                  {"disabled", Reply::Status(404), failed}}) {
        SCOPED_TRACE(guild);
        server.Set("/api/guilds/" + guild + "/widget.json", reply);
        const size_t from = host.EventCount();
        FetchDiscordWidget(
            {Utf8ToWide(guild), std::shared_ptr<IHostActions>(&host, [](IHostActions*) {}), seams.discordApiBase});
        const Texts ev = host.Events(from);
        ASSERT_EQ(ev.size(), 1u);
        EXPECT_EQ(want == failed ? ev[0] : EventField(ev[0], "json"), want);
        EXPECT_EQ(ev[0].find_first_of("\n\t"), std::string::npos);
    }
    EXPECT_TRUE(log.Has("Discord: widget larger than 1 MiB; refused"));
    EXPECT_EQ(log.Count("Discord: widget fetch failed (is the server widget enabled?)"), 3);
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

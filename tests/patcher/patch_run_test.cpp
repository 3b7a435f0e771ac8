// The patcher against loopback mirrors: downloads, the mirror choice, whole
// passes one at a time and in parallel, and the maintenance flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>

#include "net/sha256.h"
#include "patcher/freshness.h"
#include "patcher/patcher.h"
#include "support/file_times.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/latency_proxy.h"
#include "support/log_capture.h"
#include "support/small_disks.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "text/text.h"

namespace vr {

class PatcherTestAccess {
public:
    static void SetCurrentServer(Patcher& p, size_t index) { p.currentServer = index; }
};

namespace {

using test::Gzip;
using test::HttpServer;
using test::Noise;
using test::Reply;

// A published game: the list text and each object on its server.
struct Published {
    std::string list = "v 29\n";

    void File(HttpServer* server, const std::string& rel, const std::string& bytes, int64_t mtime) {
        list += "f " + std::to_string(mtime) + " " + std::to_string(bytes.size()) + " 0 " + rel + "\n";
        std::string path = "/";
        for (char c : rel) path += c == '\\' ? std::string("/") : c == ' ' ? std::string("%20") : std::string(1, c);
        if (server) server->Serve(path + ".gz", Gzip(bytes));
    }
    void Serve(HttpServer& s) const { s.Serve("/list.txt.gz", Gzip(list)); }
};

// A body whose last 4 KiB wait (a minute at most) until `go` says so: the
// transfer stays in flight until an event, not for a time.
Reply HeldBack(const std::string& bytes, std::function<bool()> go) {
    Reply r = Reply::Ok(Gzip(bytes));
    r.producedSize = r.body.size();
    r.producer = [body = r.body, go] {
        return test::BodyProducer([body, go, at = size_t{0}](uint8_t* dst, size_t cap) mutable {
            const size_t held = body.size() - std::min<size_t>(4096, body.size());
            for (int waited = 0; at == held && !go() && waited < 60000; waited += 5) Sleep(5);
            const size_t n = std::min(cap, (at < held ? held : body.size()) - at);
            at += body.copy(reinterpret_cast<char*>(dst), n, at);
            return n;
        });
    };
    return r;
}

// The object's bytes, then bytes without end: framed by a Content-Length of
// a TiB, or by a connection that never closes.
Reply Endless(const std::string& object, bool framed) {
    Reply r;
    r.contentLength = framed;
    r.producedSize = uint64_t{1} << 40;
    r.producer = [object] {
        return test::BodyProducer([object, at = size_t{0}](uint8_t* dst, size_t cap) mutable {
            for (size_t n = 0; n < cap; ++n, ++at) dst[n] = at < object.size() ? uint8_t(object[at]) : uint8_t(at);
            return cap;
        });
    };
    return r;
}

int64_t SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string FileName(int i) { return "f" + std::to_string(i) + ".dat"; }
std::string Content(int i) { return "content of file " + std::to_string(i); }
constexpr int64_t kMtime = 1600000000;

// Every callback as one line: "phase checking", "done 1/3", "progress 100 a.dat".
struct Recorder {
    std::vector<std::string> events;

    PatchCallbacks Callbacks() {
        PatchCallbacks c;
        c.phase = [this](const std::string& w) { events.push_back("phase " + w); };
        c.status = [this](const std::string& t) { events.push_back("status " + t); };
        c.fileCount = [this](int n) { events.push_back("count " + std::to_string(n)); };
        c.filesDone = [this](int d, int t) { events.push_back("done " + std::to_string(d) + "/" + std::to_string(t)); };
        c.fileProgress = [this](int p, double, double, const std::wstring& f) {
            events.push_back("progress " + std::to_string(p) + " " + WideToUtf8(f));
        };
        return c;
    }
    int Count(const std::string& event) const {
        return static_cast<int>(std::count(events.begin(), events.end(), event));
    }
};

// The page's rules: "done k/n" in order, each right after file k's
// "progress 100", and progress only for the first file not yet done.
void ExpectListOrder(const std::vector<std::string>& events, int n) {
    int done = 0;
    std::string last;
    for (const std::string& e : events) {
        if (e.rfind("progress ", 0) == 0) {
            EXPECT_NE(e.find(" " + FileName(done)), std::string::npos) << e << " while file " << done << " is due";
        } else if (e.rfind("done ", 0) == 0) {
            EXPECT_EQ(e, "done " + std::to_string(done + 1) + "/" + std::to_string(n));
            EXPECT_EQ(last, "progress 100 " + FileName(done));
            ++done;
        }
        last = e;
    }
    EXPECT_EQ(done, n);
}

class PatchRunTest : public ::testing::Test {
protected:
    PatchRunTest() {
        seams.pause = [this](uint32_t ms) {
            pauses.push_back(ms);
            if (cancelInPause) cancel = true;
        };
        seams.roamingFolder = [this] { return roaming.path(); };
        seams.probeLatency = [this](const std::wstring& s, int64_t ms) { return probeMs.count(s) ? probeMs[s] : ms; };
    }
    Patcher Make(const std::vector<std::wstring>& urls) {
        LauncherConfig c;
        c.mirrors = urls;
        c.serverUrl = urls.front();
        c.listFile = L"list.txt";
        c.patchVersion = 29;
        c.appDataFolderName = L"VeltruneTestData";
        c.newLauncher = L"newLauncher.exe";
        if (connections > 0) c.connections = connections;
        return Patcher(c, gameDir.empty() ? game.path() : gameDir, seams);
    }
    // Cancelled after a minute: a transfer without end fails, not hangs, the test.
    PatchResult RunBounded(Patcher& p) {
        auto run = std::async(std::launch::async, [&] { return p.Run(cancel, rec.Callbacks()); });
        if (run.wait_for(std::chrono::seconds(60)) != std::future_status::ready) cancel = true;
        return run.get();
    }
    HttpStatus Get(Patcher& p, const std::wstring& name) {
        return p.DownloadToFile(name, game.Join(name), cancel, rec.Callbacks());
    }
    // f0..f(n-1) with Content(i), or the bytes `bodies` gives; returns the list.
    std::string PublishN(HttpServer& server, int n, const std::vector<std::string>& bodies = {}) {
        Published pub;
        for (int i = 0; i < n; ++i)
            pub.File(&server, FileName(i), i < int(bodies.size()) ? bodies[i] : Content(i), kMtime);
        pub.Serve(server);
        return pub.list;
    }

    test::TempDir game, roaming;
    std::wstring gameDir;  // another game folder than `game`
    test::LogCapture log;  // the log goes to a private folder
    std::atomic<bool> cancel{false};
    Recorder rec;
    HttpServer s1, s2, s3;
    int connections = 0;           // the shipped default unless a test fixes it
    std::vector<uint32_t> pauses;  // slices asked of the pause seam
    bool cancelInPause = false;
    Patcher::Seams seams;                           // what Make's patchers get
    std::map<std::wstring, int64_t> probeMs;        // a mirror's probe time; the others' is measured
    static constexpr int64_t kLastProbeMs = 60000;  // beyond any probe's time-out
};

// Six attempts per server, 2 s apart (20 slices of 100 ms); a 404 moves on at
// once, servers never wrap around, and the last server's answer is the result.
TEST_F(PatchRunTest, RetriesFailoverAndTheLastServerDecides) {
    s1.Set("/a.dat.gz", Reply::Status(503));
    s2.Set("/a.dat.gz", Reply::Status(500));
    Patcher p = Make({s1.WUrl(), s2.WUrl(), s3.WUrl()});
    EXPECT_EQ(Get(p, L"a.dat"), HttpStatus::NotFound);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 6);
    EXPECT_EQ(s2.CountRequests("/a.dat.gz"), 6);
    EXPECT_EQ(s3.CountRequests("/a.dat.gz"), 1);
    EXPECT_EQ(rec.Count("status Network Error! Retrying..."), 10);
    EXPECT_EQ(rec.Count("status Switching to server: 127.0.0.1:" + std::to_string(s2.Port())), 1);
    EXPECT_EQ(pauses, std::vector<uint32_t>(10 * 20, 100u));
    EXPECT_EQ(p.LastUrl(), s3.WUrl() + L"a.dat.gz");
    EXPECT_EQ(Get(p, L"b.dat"), HttpStatus::NotFound);  // the next file starts on the last server
    EXPECT_EQ(s1.CountRequests("/b.dat.gz") + s2.CountRequests("/b.dat.gz"), 0);
    // A 404 first, then a failing last server: failed.
    s3.Set("/c.dat.gz", Reply::Status(500));
    Patcher q = Make({s1.WUrl(), s3.WUrl()});
    EXPECT_EQ(Get(q, L"c.dat"), HttpStatus::Failed);
    EXPECT_EQ(s1.CountRequests("/c.dat.gz"), 1);
    // A cancel in a retry pause ends it before its next slice: no request follows.
    cancelInPause = true;
    pauses.clear();
    EXPECT_EQ(Get(q, L"c.dat"), HttpStatus::Cancelled);
    EXPECT_EQ(Get(q, L"c.dat"), HttpStatus::Cancelled);
    EXPECT_EQ(pauses.size(), 1u);
    EXPECT_EQ(s3.CountRequests("/c.dat.gz"), 7);
}

// The fastest probe comes first, failed ones last; the next pass starts on the first.
TEST_F(PatchRunTest, MirrorsAreSortedByTheirProbes) {
    for (HttpServer* s : {&s1, &s2}) s->Serve("/list.txt.gz", Gzip("v 29\n"));
    probeMs = {{s1.WUrl(), 400}, {s2.WUrl(), 7}};
    Patcher p = Make({s3.WUrl(), s1.WUrl(), s2.WUrl()});
    PatcherTestAccess::SetCurrentServer(p, 2);  // the last pass's choice
    p.SelectFastestServer(cancel, rec.Callbacks());
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{s2.WUrl(), s1.WUrl(), s3.WUrl()}));
    EXPECT_EQ(p.CurrentServer(), 0u);
    EXPECT_EQ(rec.events.back(), "status Server: 127.0.0.1:" + std::to_string(s2.Port()) + " (7 ms)");
    Make({s1.WUrl()}).SelectFastestServer(cancel, {});  // a lone server is not probed
    EXPECT_EQ(s1.CountRequests("/list.txt.gz"), 1);
}

// Stale files are replaced, stamped and then current; times a FILETIME cannot
// hold are never current nor stamped, so such files come on every pass.
TEST_F(PatchRunTest, StaleFilesAreReplacedAndStayCurrent) {
    Published pub;
    pub.File(&s1, "a.dat", std::string(70000, 'a'), 1500000000);
    pub.File(&s1, "Data\\Sub\\b b.dat", "bee", 1500000100);
    pub.File(&s1, "c.dat", "", 1400000000);
    pub.File(&s1, "t1", "abc", 910692730086);
    pub.File(&s1, "t2", "abc", -11644473601);
    pub.list += "f 99999999999999999999 3 x t3\n";
    s1.Serve("/t3.gz", Gzip("abc"));
    pub.Serve(s1);
    game.Write(L"a.dat", "old content");  // wrong size, and read-only, hidden and system
    game.Write(L"stray.txt", "mine");     // not listed: left alone
    const DWORD marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesW(game.Join(L"a.dat").c_str(), marks | FILE_ATTRIBUTE_ARCHIVE));
    Patcher p = Make({s1.WUrl()});
    ASSERT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(rec.Count("done 6/6"), 1);
    EXPECT_TRUE(game.Read(L"a.dat") == std::string(70000, 'a'));
    EXPECT_EQ(GetFileAttributesW(game.Join(L"a.dat").c_str()) & marks, 0u);
    EXPECT_EQ(game.Read(L"Data\\Sub\\b b.dat"), "bee");
    EXPECT_EQ(game.Read(L"stray.txt"), "mine");
    EXPECT_EQ(test::UnixMtime(game.Join(L"a.dat")), 1500000000);
    EXPECT_EQ(test::UnixMtime(game.Join(L"c.dat")), 1400000000);
    rec.events.clear();
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(rec.Count("done 3/3"), 1);
    for (const char* n : {"t1", "t2", "t3"}) {
        EXPECT_GT(test::UnixMtime(game.Join(Utf8ToWide(n))), 1600000000) << n;
        EXPECT_EQ(s1.CountRequests("/" + std::string(n) + ".gz"), 2) << n;
    }
    EXPECT_EQ(s1.CountRequests("/a.dat.gz") + s1.CountRequests("/c.dat.gz"), 2);
}

TEST_F(PatchRunTest, ParallelReportsStayInListOrderWhileLaterFilesFinishFirst) {
    // f0 ends only once f9 is asked for: the files behind it finish first and wait their turn.
    PublishN(s1, 10, {Noise(64 << 10, 1)});
    s1.Set("/f0.dat.gz", HeldBack(Noise(64 << 10, 1), [this] { return s1.CountRequests("/f9.dat.gz") > 0; }));
    test::LatencyProxy link(s1.Port(), 25);
    connections = 4;
    std::vector<int> askedWhenFirstDone;
    PatchCallbacks c = rec.Callbacks();
    c.filesDone = [&, record = c.filesDone](int d, int t) {
        for (int i = 1; d == 1 && i < 4; ++i) askedWhenFirstDone.push_back(s1.CountRequests("/" + FileName(i) + ".gz"));
        record(d, t);
    };
    EXPECT_EQ(Make({link.WUrl()}).Run(cancel, c), PatchResult::Finished);
    ExpectListOrder(rec.events, 10);
    // The three connections beside f0's were busy before f0 ended.
    EXPECT_EQ(askedWhenFirstDone, (std::vector<int>{1, 1, 1}));
    EXPECT_LE(link.Connections(), 4);  // the list, its warm-up and the files share them
    for (int i = 0; i < 10; ++i) EXPECT_EQ(test::UnixMtime(game.Join(Utf8ToWide(FileName(i)))), kMtime) << FileName(i);
}

TEST_F(PatchRunTest, TheFirstFinalFailureStopsTheOthersAndDecidesTheResult) {
    PublishN(s1, 6, {Noise(256 << 10, 2)});
    // f3 (a folder in the game) fails at once; f0 and f2 end only after that,
    // so f2's failure (a byte more than listed) would come second.
    const auto f3Failed = [this] { return log.Count("a folder of that name is in the way") > 0; };
    s1.Set("/f0.dat.gz", HeldBack(Noise(256 << 10, 2), f3Failed));
    s1.Set("/f2.dat.gz", HeldBack(Content(2) + "!", f3Failed));
    game.MakeDir(L"f3.dat");
    game.Write(L"f0.dat", "stale copy of f0");
    test::LatencyProxy link(s1.Port(), 10);
    connections = 3;
    Patcher p = Make({link.WUrl()});
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::WriteFailed);
    EXPECT_EQ(p.WriteFailedPath(), game.Join(L"f3.dat"));
    // f0 was in flight: cut off, its stale copy untouched and no partial left.
    EXPECT_EQ(game.Read(L"f0.dat"), "stale copy of f0");
    EXPECT_FALSE(game.Exists(L"f0.dat.veltrune-staged"));
    // f1 completed beside them and is kept, stamped, though never reported.
    EXPECT_EQ(test::UnixMtime(game.Join(L"f1.dat")), kMtime);
    EXPECT_EQ(rec.Count("done 1/6"), 0);
    EXPECT_EQ(s1.CountRequests("/f4.dat.gz") + s1.CountRequests("/f5.dat.gz"), 0);
}

TEST_F(PatchRunTest, RetriesAndTheServerSwitchAreSharedByAParallelPass) {
    PublishN(s1, 8);
    PublishN(s2, 8);
    // f1 always fails on s1 (probed first): the pass moves to s2, announced once, and stays.
    probeMs[s2.WUrl()] = kLastProbeMs;
    s1.Set("/f1.dat.gz", Reply::Status(500));
    connections = 2;
    Patcher p = Make({s2.WUrl(), s1.WUrl()});
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(p.CurrentServer(), 1u);
    EXPECT_EQ(s1.CountRequests("/f1.dat.gz"), 6);
    EXPECT_EQ(rec.Count("status Network Error! Retrying..."), 5);
    EXPECT_EQ(rec.Count("status Switching to server: 127.0.0.1:" + std::to_string(s2.Port())), 1);
    ExpectListOrder(rec.events, 8);
}

TEST_F(PatchRunTest, FailuresMapToResults) {
    // A file that keeps failing: network error, and no partial copy stays.
    s1.Serve("/list.txt.gz", Gzip("v 29\nf 1 100000 0 a.dat\n"));
    Reply cut = Reply::Ok(Gzip(Noise(100000, 5)));
    cut.truncateAt = cut.body.size() / 2;
    s1.Set("/a.dat.gz", cut);
    EXPECT_EQ(Make({s1.WUrl()}).Run(cancel, {}), PatchResult::NetworkError);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 6);
    EXPECT_FALSE(game.Exists(L"a.dat"));
    EXPECT_FALSE(game.Exists(L"a.dat.veltrune-staged"));
    // The list itself.
    s1.Remove("/list.txt.gz");
    Patcher p = Make({s1.WUrl()});
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::FileMissing);
    EXPECT_EQ(p.LastUrl(), s1.WUrl() + L"list.txt.gz");
    s1.Set("/list.txt.gz", Reply::Status(502));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
    s1.Serve("/list.txt.gz", "plain text, not gzip");
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
}

TEST_F(PatchRunTest, AListInflatingPastItsCapIsRefused) {
    Patcher p = Make({s1.WUrl()});
    // About 70 KiB on the wire, 70 MiB inflated: a file line, then blank lines.
    std::string bomb = "v 29\nf 1 1 x b.dat\n";
    bomb.resize(70u << 20, '\n');
    s1.Serve("/list.txt.gz", Gzip(bomb, 9));
    s1.Serve("/b.dat.gz", Gzip("b"));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
    EXPECT_EQ(s1.CountRequests("/b.dat.gz"), 0);
    bomb.resize(64u << 20);  // exactly at the cap is still a list
    s1.Serve("/list.txt.gz", Gzip(bomb, 9));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::Finished);
}

// The bar, the sizes and the time left move while one large file arrives.
TEST_F(PatchRunTest, AWholeFileCountsAsDownloadedWhileItArrives) {
    s1.Serve("/list.txt.gz", Gzip("v 29\nf 1 1048576 0 big.dat\n"));
    std::atomic<bool> counted{false};
    s1.Set("/big.dat.gz", HeldBack(Noise(1 << 20, 7), [&] { return counted.load(); }));
    PatchCallbacks c;
    c.fileProgress = [](int, double, double, const std::wstring&) {};
    c.transfer = [&](int64_t, int64_t downloaded, int64_t) {
        if (downloaded > 0 && !game.Exists(L"big.dat")) counted = true;
    };
    EXPECT_EQ(Make({s1.WUrl()}).Run(cancel, c), PatchResult::Finished);
    EXPECT_TRUE(counted) << "nothing counted as downloaded before the file was in place";
}

// Another version line, older as well as newer, means another launcher.
TEST_F(PatchRunTest, VersionMismatchDownloadsOnlyTheNewLauncher) {
    s1.Serve("/list.txt.gz", Gzip("f 5 1 0 stale.dat\nv 28\nf 5 1 0 later.dat\n"));
    s1.Serve("/newLauncher.exe.gz", Gzip("MZ new build"));
    Patcher p = Make({s1.WUrl()});
    ASSERT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::SelfUpdateReady);
    EXPECT_EQ(p.SelfUpdatePath(), roaming.path() + L"\\VeltruneTestData\\newLauncher.exe");
    EXPECT_EQ(roaming.Read(L"VeltruneTestData\\newLauncher.exe"), "MZ new build");
    EXPECT_EQ(rec.events.at(1), "phase updating");
    EXPECT_EQ(s1.CountRequests("/stale.dat.gz") + s1.CountRequests("/later.dat.gz"), 0);
    s1.Remove("/newLauncher.exe.gz");
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::FileMissing);
    EXPECT_EQ(p.LastUrl(), s1.WUrl() + L"newLauncher.exe.gz");
    EXPECT_EQ(s1.CountRequests("/newLauncher.exe.gz"), 2);
    seams.roamingFolder = [] { return std::wstring(); };
    EXPECT_EQ(Make({s1.WUrl()}).Run(cancel, {}), PatchResult::NetworkError);  // no roaming folder
    // Without "#launcher" nothing vouches for its size: past 256 MiB it is refused.
    s1.Serve("/newLauncher.exe.gz", Gzip(std::string((256u << 20) + 1, 'M')));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::FileMismatch);
    EXPECT_FALSE(roaming.Exists(L"VeltruneTestData\\newLauncher.exe.veltrune-staged"));
    EXPECT_TRUE(log.Has("Patcher: newLauncher.exe from " + WideToUtf8(HostOf(s1.WUrl())) +
                        " is larger than 268435456 bytes and the list names no size; refused, trying another server"));
}

// The listed size decides on every list, the listed SHA-256 (any letter case)
// under "#hash sha256"; wrong bytes are refused at once and the next server asked.
TEST_F(PatchRunTest, ListedSizeAndHashDecide) {
    connections = 1;
    probeMs[s2.WUrl()] = kLastProbeMs;
    const std::string list = "v 29\nf 1500000000 5 0 short.dat\n";
    for (HttpServer* s : {&s1, &s2}) s->Serve("/list.txt.gz", Gzip(list));
    s1.Serve("/short.dat.gz", Gzip("abcd"));
    EXPECT_EQ(Make({s1.WUrl(), s2.WUrl()}).Run(cancel, {}), PatchResult::FileMismatch);
    EXPECT_FALSE(game.Exists(L"short.dat"));
    EXPECT_EQ(s1.CountRequests("/short.dat.gz"), 1);

    const std::string hashed =
        "v 29\n#hash sha256\nf 1500000000 5 "
        "36BBE50ED96841D10443BCB670D6554F0A34B761BE67EC9C4A8AD2C0C44CA42C short.dat\n";
    for (HttpServer* s : {&s1, &s2}) s->Serve("/list.txt.gz", Gzip(hashed));
    s1.Serve("/short.dat.gz", Gzip("abcdef"));
    s2.Serve("/short.dat.gz", Gzip("abcde"));
    EXPECT_EQ(Make({s1.WUrl(), s2.WUrl()}).Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"short.dat"), "abcde");  // healed from s2
    EXPECT_EQ(test::UnixMtime(game.Join(L"short.dat")), 1500000000);
}

// Too little space is found before a byte is fetched, or else by the write;
// the old copy stays whole, the pass names the file, and later recovers.
TEST_F(PatchRunTest, AFullDiskEndsThePassAndLeavesTheOldCopy) {
    const test::SmallDisks disks;
    VR_REQUIRE_SMALL_DISKS(disks);
    gameDir = disks.full + L"\\game";
    const std::wstring filler = disks.full + L"\\filler", big = gameDir + L"\\big.dat";
    ASSERT_TRUE(CreateDirectoryW(gameDir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(test::FillDisk(big, 1000));  // the player's old copy
    ASSERT_TRUE(test::FillDisk(filler, 3u << 20));
    Published pub;
    pub.File(&s1, "small.dat", "small", 1500000000);
    pub.File(&s1, "big.dat", Noise(2u << 20, 7), 1500000100);
    pub.File(&s1, "after.dat", "after", 1500000200);
    pub.Serve(s1);
    connections = 1;  // so after.dat is provably never asked for
    Patcher p = Make({s1.WUrl()});
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::WriteFailed);
    EXPECT_EQ(p.WriteError(), static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(p.WriteFailedPath(), big);
    EXPECT_EQ(p.DiskBytesNeeded(), 2u << 20);
    EXPECT_EQ(s1.CountRequests("/big.dat.gz"), 0);
    EXPECT_EQ(s1.CountRequests("/after.dat.gz"), 0);
    EXPECT_EQ(SizeOf(big), 1000);

    seams.freeDiskBytes = [](const std::wstring&) { return int64_t{-1}; };  // unknown: the writes find out
    Patcher q = Make({s1.WUrl()});
    EXPECT_EQ(q.Run(cancel, {}), PatchResult::WriteFailed);
    EXPECT_EQ(q.WriteError(), static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(s1.CountRequests("/big.dat.gz"), 1);  // a full disk is not retried
    EXPECT_EQ(SizeOf(big), 1000);
    EXPECT_EQ(GetFileAttributesW((big + L".veltrune-staged").c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(DeleteFileW(filler.c_str()));
    EXPECT_EQ(q.Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(test::UnixMtime(big), 1500000100);
}

// By the mirrors' freshness objects: a mirror offering an older list gets
// nothing of the pass, one without the object comes after the newest, and a
// list other than its object names, or older than the newest, is refused.
TEST_F(PatchRunTest, TheNewestListOnOfferBeatsTheFastestMirror) {
    connections = 1;
    const std::string v1 = "v 29\n#serial 100\nf 1500000000 3 0 a.dat\n";
    const std::string v2 = "v 29\n#serial 200\nf 1500000100 3 0 a.dat\n";
    for (HttpServer* s : {&s1, &s3}) {  // frozen on v1; s3 has no freshness object
        s->Serve("/list.txt.gz", Gzip(v1));
        s->Serve("/a.dat.gz", Gzip("old"));
    }
    s1.Serve("/list.txt.fresh", FormatFreshness(100, Sha256Hex(v1.data(), v1.size()), 0));
    s2.Serve("/list.txt.gz", Gzip(v2));
    s2.Serve("/a.dat.gz", Gzip("new"));
    s2.Serve("/list.txt.fresh", FormatFreshness(200, Sha256Hex(v2.data(), v2.size()), 0));
    probeMs[s2.WUrl()] = kLastProbeMs;  // the newest list is not the fastest
    Patcher p = Make({s1.WUrl(), s3.WUrl(), s2.WUrl()});
    ASSERT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"a.dat"), "new");
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{s2.WUrl(), s3.WUrl()}));
    EXPECT_EQ(s1.CountRequests("/list.txt.gz") + s1.CountRequests("/a.dat.gz"), 0);
    EXPECT_EQ(log.Count(" offers list serial 100, older than 200 on another mirror; not used in this pass"), 1);

    s2.Serve("/list.txt.gz", Gzip(v2 + "f 1500000100 3 0 b.dat\n"));  // serial 200, other bytes
    game.Write(L"a.dat", "mine");
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::ListUnverified);
    EXPECT_EQ(game.Read(L"a.dat"), "mine");
    EXPECT_EQ(log.Count("is not the one its freshness object names"), 1);
    EXPECT_EQ(log.Count("has serial 100, older than 200 on offer; trying another server"), 1);
}

// The stall rule (shortened here) moves a file off a trickling mirror at once
// and later passes try that mirror last; the bandwidth cap's pauses never count.
TEST_F(PatchRunTest, ATricklingMirrorLosesTheFileToTheNextOne) {
    connections = 2;
    seams.stallWindowMs = 1000;
    const std::string big = Noise(1u << 20, 3);
    PublishN(s1, 3, {big});
    PublishN(s2, 3, {big});
    Reply trickle = Reply::Ok(Gzip(big));
    trickle.throttleBytes = 16;
    trickle.throttleDelayMs = 100;
    s1.Set("/f0.dat.gz", trickle);
    probeMs[s2.WUrl()] = kLastProbeMs;
    Patcher p = Make({s2.WUrl(), s1.WUrl()});
    ASSERT_EQ(RunBounded(p), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"f0.dat") == big);
    EXPECT_EQ(s1.CountRequests("/f0.dat.gz"), 1);  // not retried there
    EXPECT_EQ(s2.CountRequests("/f0.dat.gz"), 1);
    EXPECT_EQ(log.Count("f0.dat from " + WideToUtf8(HostOf(s1.WUrl())) + " moved under 4096 bytes in 1000 ms"), 1);
    p.SelectFastestServer(cancel, {});
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{s2.WUrl(), s1.WUrl()}));

    // 384 KiB capped at 128 KiB/s: each block waits for the cap longer than the window.
    seams.stallWindowMs = 500;
    seams.stallMinBytes = 256u << 10;
    PublishN(s3, 1, {Noise(384u << 10, 4)});
    test::TempDir other;
    gameDir = other.path();
    Patcher q = Make({s3.WUrl()});
    q.SetMaxKiBps(128);
    EXPECT_EQ(RunBounded(q), PatchResult::Finished);
    EXPECT_EQ(s3.CountRequests("/f0.dat.gz"), 1);
    EXPECT_EQ(log.Count("of waiting; trying another server"), 1);
}

// Bodies going on after their gzip member, framed by length or not: the rest
// is never read, and the same connection serves the next file.
TEST_F(PatchRunTest, BytesAfterTheGzipMemberAreNeverRead) {
    connections = 1;
    s1.Set("/list.txt.gz", Endless(Gzip(PublishN(s1, 3)), true));
    s1.Set("/f0.dat.gz", Endless(Gzip(Content(0)), false));
    s1.Set("/f1.dat.gz", Endless(Gzip(Content(1)), true));
    Patcher p = Make({s1.WUrl()});
    ASSERT_EQ(RunBounded(p), PatchResult::Finished);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(game.Read(Utf8ToWide(FileName(i))), Content(i)) << FileName(i);
    EXPECT_EQ(rec.Count("status Network Error! Retrying..."), 0);
    EXPECT_EQ(log.Count("goes on after its gzip member; the rest is not read"), 3);
}

// "true" in any case between blanks, uncompressed on the primary server;
// past 64 KiB the flag is not read, however it starts.
TEST(Maintenance, FlagFileRules) {
    HttpServer server;
    LauncherConfig c;
    c.mirrors = {L"http://127.0.0.1:9/mirror/"};
    c.serverUrl = server.WUrl();
    c.maintFile = L"flag.txt";
    EXPECT_FALSE(IsMaintenanceActive(c));  // a 404, like any failed fetch
    std::string full = "\tTrUe";
    full.resize(64u << 10, ' ');
    for (const auto& [body, on] :
         std::vector<std::pair<std::string, bool>>{{full, true}, {full + " ", false}, {"true1", false}}) {
        server.Serve("/flag.txt", body);
        EXPECT_EQ(IsMaintenanceActive(c), on) << body.substr(0, 9) << " of " << body.size();
    }
}

}  // namespace
}  // namespace vr

// Whole passes against loopback mirrors: game folder effects, reports,
// self-update, failures, cancel, unsafe lists, and the maintenance flag.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <thread>

#include "patch_fixture.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/small_disks.h"
#include "support/test_data.h"

namespace vr {
namespace {

using test::Gzip;
using test::HttpServer;
using test::Reply;

// A published game: the list text and each object on every given server.
// Names here are plain ASCII, so the object path needs only blanks encoded.
struct Published {
    std::string list = "v 29\n";
    std::string dir;  // the current folder line, as a URL prefix

    void File(const std::vector<HttpServer*>& servers, const std::string& rel, const std::string& bytes,
              int64_t mtime) {
        list += "f " + std::to_string(mtime) + " " + std::to_string(bytes.size()) + " 0 " + rel + "\n";
        std::string path = "/" + dir;
        for (char c : rel) path += c == '\\' ? std::string("/") : c == ' ' ? std::string("%20") : std::string(1, c);
        path += ".gz";
        for (HttpServer* s : servers) s->Serve(path, Gzip(bytes));
    }
    void Folder(const std::string& folder) {
        list += folder.empty() ? "d\n" : "d " + folder + "\n";
        dir.clear();
        for (char c : folder) dir += c == '\\' ? '/' : c;
        if (!dir.empty()) dir += '/';
    }
    void Line(const std::string& line) { list += line + "\n"; }
    void Serve(const std::vector<HttpServer*>& servers) const {
        for (HttpServer* s : servers) s->Serve("/list.txt.gz", Gzip(list));
    }
};

class PatchRunTest : public ::testing::Test {
protected:
    Patcher Make(const std::vector<const HttpServer*>& list, bool withRoaming = true) {
        std::vector<std::wstring> urls;
        for (const HttpServer* s : list) urls.push_back(s->WUrl());
        LauncherConfig c = test::ConfigFor(urls);
        c.appDataFolderName = L"VeltruneTestData";
        c.newLauncher = L"newLauncher.exe";
        if (connections > 0) c.connections = connections;
        Patcher::Seams seams = test::QuickPauses();
        seams.roamingFolder = [this, withRoaming] { return withRoaming ? roaming.path() : std::wstring(); };
        return Patcher(c, game.path(), seams);
    }
    int FileRequests(const HttpServer& s) const {
        int n = 0;
        for (const auto& r : s.Requests()) n += r.path != "/list.txt.gz";
        return n;
    }

    test::TempDir game, roaming;
    test::LogCapture log;
    std::atomic<bool> cancel{false};
    test::Recorder rec;
    HttpServer s1, s2;
    int connections = 0;  // the shipped default unless a test fixes it
};

TEST_F(PatchRunTest, AllCurrentFinishesWithoutDownloads) {
    Published pub;
    pub.File({&s1}, "a.dat", "aaaa", 1600000000);
    pub.Serve({&s1});
    game.Write(L"a.dat", "aaaa");
    test::SetUnixMtime(game.Join(L"a.dat"), 1600000001);
    Patcher p = Make({&s1});
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(rec.events, (std::vector<std::string>{"phase checking", "phase finished"}));
    EXPECT_EQ(FileRequests(s1), 0);
}

TEST_F(PatchRunTest, StaleFilesDownloadInOrderAndStayCurrent) {
    Published pub;
    pub.File({&s1, &s2}, "a.dat", std::string(70000, 'a'), 1500000000);
    pub.Folder("Data\\Sub");
    pub.File({&s1, &s2}, "b b.dat", "bee", 1500000100);
    pub.Folder("");
    pub.Folder("Empty");
    pub.Folder("");
    pub.File({&s1, &s2}, "c.dat", "", 1400000000);
    pub.Serve({&s1, &s2});
    game.Write(L"a.dat", "old content");  // wrong size
    game.Write(L"stray.txt", "mine");     // not listed: left alone

    Patcher p = Make({&s1, &s2});
    ASSERT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    const std::vector<std::string> expected = {"phase checking",    "count 3",
                                               "phase downloading", "progress 100 a.dat",
                                               "done 1/3",          "progress 100 Data\\Sub\\b b.dat",
                                               "done 2/3",          "progress 100 c.dat",
                                               "done 3/3",          "phase finished"};
    std::vector<std::string> milestones;
    for (const auto& e : rec.Milestones()) {
        if (e.rfind("status ", 0) != 0) milestones.push_back(e);  // the server choice texts vary
    }
    EXPECT_EQ(milestones, expected);

    EXPECT_EQ(game.Read(L"a.dat"), std::string(70000, 'a'));
    EXPECT_EQ(game.Read(L"Data\\Sub\\b b.dat"), "bee");
    EXPECT_TRUE(game.Exists(L"c.dat"));
    EXPECT_TRUE(game.Exists(L"Empty"));
    EXPECT_EQ(game.Read(L"stray.txt"), "mine");
    EXPECT_EQ(test::UnixMtime(game.Join(L"a.dat")), 1500000000);
    EXPECT_EQ(test::UnixMtime(game.Join(L"Data\\Sub\\b b.dat")), 1500000100);
    EXPECT_EQ(test::UnixMtime(game.Join(L"c.dat")), 1400000000);

    // A second pass finds everything current.
    const int before = FileRequests(s1) + FileRequests(s2);
    rec.events.clear();
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(FileRequests(s1) + FileRequests(s2), before);
    EXPECT_EQ(rec.Count("phase downloading"), 0);

    // Every member empty is a valid record.
    EXPECT_EQ(p.Run(cancel, PatchCallbacks{}), PatchResult::Finished);
}

TEST_F(PatchRunTest, MissingThirdFileKeepsFirstTwo) {
    Published pub;
    pub.File({&s1, &s2}, "a.dat", "one", 1000);
    pub.File({&s1, &s2}, "b.dat", "two", 1000);
    pub.File({}, "c.dat", "three", 1000);
    pub.File({&s1, &s2}, "d.dat", "four", 1000);
    pub.Serve({&s1, &s2});
    // s2 probes slower, so s1 comes first and s2 is the last server.
    Reply slowList = Reply::Ok(Gzip(pub.list));
    slowList.statusDelayMs = 500;
    s2.Set("/list.txt.gz", slowList);
    // The 404s come late, so with parallel downloads the files before c.dat
    // have completed by then.
    Reply slowMissing = Reply::Status(404);
    slowMissing.statusDelayMs = 300;
    s1.Set("/c.dat.gz", slowMissing);
    s2.Set("/c.dat.gz", slowMissing);
    for (const int n : {1, 6}) {
        SCOPED_TRACE("connections=" + std::to_string(n));
        for (const wchar_t* name : {L"a.dat", L"b.dat", L"d.dat"}) DeleteFileW(game.Join(name).c_str());
        game.Write(L"c.dat", "stale copy");
        rec.events.clear();
        connections = n;
        Patcher p = Make({&s2, &s1});
        EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::FileMissing);
        EXPECT_EQ(game.Read(L"a.dat"), "one");
        EXPECT_EQ(game.Read(L"b.dat"), "two");
        EXPECT_FALSE(game.Exists(L"c.dat"));
        if (n == 1) {
            EXPECT_FALSE(game.Exists(L"d.dat"));  // one at a time, nothing after the failure is tried
        } else if (game.Exists(L"d.dat")) {
            // In flight beside c.dat: kept only when complete and stamped.
            EXPECT_EQ(game.Read(L"d.dat"), "four");
            EXPECT_EQ(test::UnixMtime(game.Join(L"d.dat")), 1000);
        }
        EXPECT_EQ(p.LastUrl(), s2.WUrl() + L"c.dat.gz");
        EXPECT_EQ(rec.Count("done 2/4"), 1);
        EXPECT_EQ(rec.Count("done 3/4"), 0);
        EXPECT_EQ(rec.Count("phase finished"), 0);
    }
}

TEST_F(PatchRunTest, FailuresMapToResults) {
    {  // a file that keeps failing: network error, and no partial copy stays
        Published pub;
        std::string noise(100000, '\0');
        for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
        pub.File({}, "a.dat", noise, 1);
        pub.Serve({&s1});
        Reply cut = Reply::Ok(Gzip(noise));
        cut.truncateAt = cut.body.size() / 2;
        s1.Set("/a.dat.gz", cut);
        Patcher p = Make({&s1});
        EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::NetworkError);
        EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 6);
        EXPECT_FALSE(game.Exists(L"a.dat"));
    }
    {  // a target that is a folder: no retry
        Published pub;
        pub.File({&s1}, "dir.dat", "x", 1);
        pub.Serve({&s1});
        game.MakeDir(L"dir.dat");
        Patcher p = Make({&s1});
        EXPECT_EQ(p.Run(cancel, {}), PatchResult::WriteFailed);
        EXPECT_EQ(p.WriteError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(s1.CountRequests("/dir.dat.gz"), 0);
        EXPECT_TRUE(log.Has("Patcher: cannot open " + WideToUtf8(game.Join(L"dir.dat")) + " for writing (err "));
    }
    {  // the list itself
        s1.Remove("/list.txt.gz");
        Patcher p = Make({&s1});
        EXPECT_EQ(p.Run(cancel, {}), PatchResult::FileMissing);
        EXPECT_EQ(p.LastUrl(), s1.WUrl() + L"list.txt.gz");
        s1.Set("/list.txt.gz", Reply::Status(502));
        EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
        s1.Serve("/list.txt.gz", "plain text, not gzip");
        EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
    }
}

TEST_F(PatchRunTest, VersionMismatchDownloadsOnlyTheNewLauncher) {
    for (const char* version : {"v 30", "v 28"}) {
        SCOPED_TRACE(version);
        HttpServer server;
        Published pub;
        pub.list.clear();
        pub.File({&server}, "stale.dat", "s", 5);
        pub.Line(version);
        pub.File({&server}, "later.dat", "l", 5);
        pub.Serve({&server});
        server.Serve("/newLauncher.exe.gz", Gzip("MZ new build"));
        test::Recorder r;
        Patcher p = Make({&server});
        ASSERT_EQ(p.Run(cancel, r.Callbacks()), PatchResult::SelfUpdateReady);
        const std::wstring expected = roaming.path() + L"\\VeltruneTestData\\newLauncher.exe";
        EXPECT_EQ(p.SelfUpdatePath(), expected);
        EXPECT_EQ(roaming.Read(L"VeltruneTestData\\newLauncher.exe"), "MZ new build");
        EXPECT_EQ(r.Milestones(),
                  (std::vector<std::string>{"phase checking", "phase updating", "progress 100 newLauncher.exe"}));
        EXPECT_EQ(server.CountRequests("/stale.dat.gz") + server.CountRequests("/later.dat.gz"), 0);
        EXPECT_FALSE(game.Exists(L"stale.dat"));
    }
    EXPECT_TRUE(log.Has("Patcher: launcher out of date (server v30, local v29) -> self-update"));
    EXPECT_TRUE(log.Has("Patcher: launcher out of date (server v28, local v29) -> self-update"));

    s1.Serve("/list.txt.gz", Gzip("v 31\n"));
    Patcher missing = Make({&s1});
    EXPECT_EQ(missing.Run(cancel, {}), PatchResult::FileMissing);
    EXPECT_EQ(missing.LastUrl(), s1.WUrl() + L"newLauncher.exe.gz");
    EXPECT_TRUE(missing.SelfUpdatePath().empty());

    Patcher noFolder = Make({&s1}, false);
    EXPECT_EQ(noFolder.Run(cancel, {}), PatchResult::NetworkError);
    EXPECT_EQ(s1.CountRequests("/newLauncher.exe.gz"), 1);
}

TEST_F(PatchRunTest, SelfUpdateUsesTheRealRoamingFolder) {
    wchar_t appData[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData)));
    const std::wstring folderName = L"VeltruneTest-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = std::wstring(appData) + L"\\" + folderName;

    s1.Serve("/list.txt.gz", Gzip("v 30\n"));
    s1.Serve("/newLauncher.exe.gz", Gzip("MZ"));
    LauncherConfig c = test::ConfigFor({s1.WUrl()});
    c.appDataFolderName = folderName;
    Patcher p(c, game.path());
    const PatchResult result = p.Run(cancel, {});
    const std::wstring path = folder + L"\\newLauncher.exe";
    const bool written = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
    EXPECT_EQ(result, PatchResult::SelfUpdateReady);
    EXPECT_EQ(p.SelfUpdatePath(), path);
    EXPECT_TRUE(written);
}

TEST_F(PatchRunTest, CancelStopsThePass) {
    {  // during the mirror probes: the list is never fetched
        Reply slow = Reply::Ok(Gzip("v 29\n"));
        slow.statusDelayMs = 800;
        s1.Set("/list.txt.gz", slow);
        s2.Set("/list.txt.gz", slow);
        Patcher p = Make({&s1, &s2});
        std::thread t([&] {
            Sleep(300);
            cancel = true;
        });
        EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::PatchCancelled);
        t.join();
        EXPECT_EQ(s1.CountRequests("/list.txt.gz"), 1);  // the probe only
        EXPECT_EQ(s2.CountRequests("/list.txt.gz"), 1);
        EXPECT_EQ(rec.Count("phase finished"), 0);
    }
    cancel = false;
    {  // between files: the first one is complete, the second never asked for
        HttpServer server;
        Published pub;
        pub.File({&server}, "a.dat", "first", 7);
        pub.File({&server}, "b.dat", "second", 7);
        pub.Serve({&server});
        connections = 1;  // one at a time, the second is not yet asked for
        Patcher p = Make({&server});
        PatchCallbacks c;
        c.filesDone = [&](int, int) { cancel = true; };
        EXPECT_EQ(p.Run(cancel, c), PatchResult::PatchCancelled);
        EXPECT_EQ(game.Read(L"a.dat"), "first");
        EXPECT_EQ(test::UnixMtime(game.Join(L"a.dat")), 7);
        EXPECT_EQ(server.CountRequests("/b.dat.gz"), 0);
        // One connection is today's pass exactly: nothing is opened ahead.
        EXPECT_EQ(server.Requests().size(), 2u);
    }
}

TEST_F(PatchRunTest, UnsafeEntriesNeverTouchAnythingOutside) {
    test::TempDir root;
    const std::wstring gameDir = root.Join(L"game");
    root.MakeDir(L"game");
    const std::string drivePath = "C:\\veltrune-unsafe-" + std::to_string(GetCurrentProcessId()) + ".dat";
    Published pub;
    for (const std::string& bad :
         {std::string("..\\escape.dat"), std::string("../slash.dat"), std::string("sub\\..\\..\\deep.dat"), drivePath,
          std::string("\\rooted.dat"), std::string("\\\\127.0.0.1\\share\\unc.dat"), std::string("ads.dat:hidden"),
          std::string("..."), std::string("a\\\\b.dat"), std::string(".\\dot.dat")}) {
        pub.File({&s1}, bad, "evil", 1);
    }
    pub.Line("d ..\\outside");
    pub.File({&s1}, "inside-refused.dat", "evil", 1);
    pub.Line("d C:\\");
    pub.File({&s1}, "drive.dat", "evil", 1);
    pub.Line("d");
    pub.File({&s1}, "good.dat", "good", 1);
    pub.Serve({&s1});

    LauncherConfig c = test::ConfigFor({s1.WUrl()});
    Patcher p(c, gameDir, test::QuickPauses());
    ASSERT_EQ(p.Run(cancel, {}), PatchResult::Finished);

    EXPECT_EQ(test::ListFolder(root.path()), std::vector<std::wstring>{L"game"});
    EXPECT_EQ(test::ListFolder(gameDir), std::vector<std::wstring>{L"good.dat"});
    EXPECT_EQ(GetFileAttributesW(Utf8ToWide(drivePath).c_str()), INVALID_FILE_ATTRIBUTES);
    std::vector<std::string> asked;
    for (const auto& r : s1.Requests()) {
        if (r.method == "GET") asked.push_back(r.path);  // the pass's warm-up asks for headers only
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"/list.txt.gz", "/good.dat.gz"}));
    EXPECT_EQ(log.Count("Patcher: refused unsafe path "), 12);
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path ..\\escape.dat\r\n"));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path ..\\outside\r\n"));
}

using vr::test::Noise;

TEST_F(PatchRunTest, ReadOnlyHiddenAndSystemFilesAreReplaced) {
    Published pub;
    pub.File({&s1}, "locked.dat", "new bytes", 1500000000);
    pub.File({&s1}, "plain.dat", "plain", 1500000000);
    pub.Serve({&s1});
    const DWORD marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    game.Write(L"locked.dat", "old");
    ASSERT_TRUE(SetFileAttributesW(game.Join(L"locked.dat").c_str(), marks | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(GetFileAttributesW(game.Join(L"locked.dat").c_str()) & marks, marks);

    Patcher p = Make({&s1});
    ASSERT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"locked.dat"), "new bytes");
    EXPECT_EQ(GetFileAttributesW(game.Join(L"locked.dat").c_str()) & marks, 0u);
    EXPECT_EQ(test::UnixMtime(game.Join(L"locked.dat")), 1500000000);
    EXPECT_EQ(log.Count("Patcher: cleared read-only, hidden and system attributes of "), 1);
    EXPECT_TRUE(log.Has("Patcher: cleared read-only, hidden and system attributes of " +
                        WideToUtf8(game.Join(L"locked.dat")) + "\r\n"));
}

TEST_F(PatchRunTest, ListThatInflatesPastTheCapFailsThePass) {
    // About 70 KiB on the wire, 70 MiB once inflated: a file line the old
    // code would have acted on, then blank lines.
    std::string bomb = "v 29\nf 1 1 x a.dat\n";
    bomb.resize(70u << 20, '\n');
    s1.Serve("/list.txt.gz", Gzip(bomb, 9));
    s1.Serve("/a.dat.gz", Gzip("a"));
    Patcher p = Make({&s1});
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 0);
    EXPECT_FALSE(game.Exists(L"a.dat"));
    EXPECT_TRUE(log.Has("Patcher: list.txt is larger than 64 MiB once inflated; refused\r\n"));

    // Exactly at the cap is still a list.
    std::string full = "v 29\nf 1 1 x a.dat\n";
    full.resize(64u << 20, '\n');
    s1.Serve("/list.txt.gz", Gzip(full, 9));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"a.dat"), "a");
}

TEST_F(PatchRunTest, TimesOutsideTheFileTimeRangeAreNeverCurrentNorStamped) {
    Published pub;
    // The saturated ends of the list's number, one second past the last
    // FILETIME, and a time before 1601.
    pub.list += "f 9223372036854775807 3 x max.dat\n";
    pub.list += "f 99999999999999999999 3 x over.dat\n";
    pub.list += "f -9223372036854775808 3 x min.dat\n";
    pub.list += "f 910692730086 3 x past-end.dat\n";
    pub.list += "f -11644473601 3 x before-1601.dat\n";
    pub.Serve({&s1});
    const std::vector<std::string> names = {"max.dat", "over.dat", "min.dat", "past-end.dat", "before-1601.dat"};
    for (const auto& n : names) s1.Serve("/" + n + ".gz", Gzip("abc"));

    Patcher p = Make({&s1});
    ASSERT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    for (const auto& n : names) {
        SCOPED_TRACE(n);
        EXPECT_EQ(game.Read(Utf8ToWide(n)), "abc");
        // Left with the time of the download, not a wrapped-around stamp.
        EXPECT_GT(test::UnixMtime(game.Join(Utf8ToWide(n))), 1600000000);
    }
    ASSERT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    for (const auto& n : names) EXPECT_EQ(s1.CountRequests("/" + n + ".gz"), 2) << n;
}

TEST_F(PatchRunTest, AFullDiskEndsThePassAndTheNextPassWithSpaceRecovers) {
    const test::SmallDisks disks;
    VR_REQUIRE_SMALL_DISKS(disks);
    const std::wstring gameDir = disks.full + L"\\game";
    const std::wstring filler = disks.full + L"\\filler";
    ASSERT_TRUE(CreateDirectoryW(gameDir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(test::FillDisk(filler, 3u << 20));
    const std::string big = Noise(2u << 20, 7);
    Published pub;
    pub.File({&s1}, "small.dat", "small", 1500000000);
    pub.File({&s1}, "big.dat", big, 1500000100);
    pub.File({&s1}, "after.dat", "after", 1500000200);
    pub.Serve({&s1});

    LauncherConfig c = test::ConfigFor({s1.WUrl()});
    c.connections = 1;  // so after.dat is provably never asked for
    Patcher p(c, gameDir, test::QuickPauses());
    const std::wstring bigPath = gameDir + L"\\big.dat";
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::WriteFailed);
    EXPECT_EQ(p.WriteError(), static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(p.WriteFailedPath(), bigPath);
    EXPECT_EQ(GetFileAttributesW(bigPath.c_str()), INVALID_FILE_ATTRIBUTES);  // no partial copy
    EXPECT_EQ(test::UnixMtime(gameDir + L"\\small.dat"), 1500000000);
    EXPECT_EQ(s1.CountRequests("/big.dat.gz"), 1);  // a full disk is not retried
    EXPECT_EQ(s1.CountRequests("/after.dat.gz"), 0);
    EXPECT_TRUE(log.Has("Patcher: cannot write " + WideToUtf8(bigPath) + " (err 112)\r\n"));

    ASSERT_TRUE(DeleteFileW(filler.c_str()));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(p.WriteError(), 0u);
    HANDLE h = CreateFileW(bigPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string back(big.size() + 1, '\0');
    DWORD got = 0;
    ReadFile(h, back.data(), static_cast<DWORD>(back.size()), &got, nullptr);
    CloseHandle(h);
    back.resize(got);
    EXPECT_TRUE(back == big);
    EXPECT_EQ(test::UnixMtime(bigPath), 1500000100);
    for (const wchar_t* n : {L"\\small.dat", L"\\big.dat", L"\\after.dat"}) DeleteFileW((gameDir + n).c_str());
    RemoveDirectoryW(gameDir.c_str());
}

TEST_F(PatchRunTest, AFolderThatTakesNoNewFileEndsThePassAsAWriteFailure) {
    const test::SmallDisks disks;
    VR_REQUIRE_SMALL_DISKS(disks);
    Published pub;
    pub.File({&s1}, "a.dat", "a", 1500000000);
    pub.Serve({&s1});
    LauncherConfig c = test::ConfigFor({s1.WUrl()});
    Patcher p(c, disks.readonly, test::QuickPauses());
    const std::wstring path = disks.readonly + L"\\a.dat";
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::WriteFailed);
    EXPECT_EQ(p.WriteFailedPath(), path);
    EXPECT_NE(p.WriteError(), 0u);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 0);
    EXPECT_TRUE(log.Has("Patcher: cannot open " + WideToUtf8(path) + " for writing (err " +
                        std::to_string(p.WriteError()) + ")\r\n"));
}

TEST(Maintenance, FlagFileRules) {
    HttpServer server;
    LauncherConfig c = test::ConfigFor({L"http://127.0.0.1:9/mirror/"});
    c.serverUrl = server.WUrl() + L"flags/";
    c.maintFile = L"MaintanenceCheck.txt";
    const std::string path = "/flags/MaintanenceCheck.txt";

    EXPECT_FALSE(IsMaintenanceActive(c));  // 404
    for (const char* on : {"true", "  TRUE \r\n", "\tTrUe\n"}) {
        server.Serve(path, on);
        EXPECT_TRUE(IsMaintenanceActive(c)) << on;
    }
    for (const char* off : {"true1", "yes", "", "false", "t rue", "1"}) {
        server.Serve(path, off);
        EXPECT_FALSE(IsMaintenanceActive(c)) << off;
    }
    server.Set(path, Reply::Status(500, "true"));
    EXPECT_FALSE(IsMaintenanceActive(c));
    {  // a flag past 64 KiB is not read, however it starts
        test::LogCapture log;
        std::string huge = "true";
        huge.resize((64u << 10) + 1, ' ');
        server.Serve(path, huge);
        EXPECT_FALSE(IsMaintenanceActive(c));
        EXPECT_TRUE(log.Has("Patcher: maintenance flag larger than 64 KiB; taken as no maintenance\r\n"));
        huge.resize(64u << 10);
        server.Serve(path, huge);
        EXPECT_TRUE(IsMaintenanceActive(c));
    }
    for (const auto& r : server.Requests()) {
        EXPECT_EQ(r.path, path);  // uncompressed, primary server only
        EXPECT_EQ(r.userAgent, "VeltruneClient/1.0");
    }
}

// The listed size is checked on every list, hashes or not: bytes of another
// length are never stamped as current, and the next server is asked at once.
TEST_F(PatchRunTest, BytesOfAnotherSizeThanListedAreNeverStamped) {
    Published pub;
    pub.Line("f 1500000000 5 0 short.dat");
    pub.Line("f 1500000000 5 0 long.dat");
    pub.Serve({&s1, &s2});
    s1.Serve("/short.dat.gz", Gzip("abcd"));
    s2.Serve("/short.dat.gz", Gzip("abcde"));
    s2.Serve("/long.dat.gz", Gzip("abcdef"));
    // s2 answers its probe late, so the pass starts on s1.
    Reply late = Reply::Ok(Gzip(pub.list));
    late.statusDelayMs = 800;
    s2.Set("/list.txt.gz", late);
    // One at a time: with more, long.dat's final failure may stop short.dat
    // while it is still healing, which is the parallel rule, not this one.
    connections = 1;

    Patcher p = Make({&s1, &s2});
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::FileMismatch);
    EXPECT_EQ(game.Read(L"short.dat"), "abcde");  // healed from s2
    EXPECT_EQ(test::UnixMtime(game.Join(L"short.dat")), 1500000000);
    EXPECT_FALSE(game.Exists(L"long.dat"));  // too long on the only server left
    EXPECT_EQ(s1.CountRequests("/short.dat.gz"), 1);
    EXPECT_EQ(p.LastUrl(), s2.WUrl() + L"long.dat.gz");
    EXPECT_TRUE(log.Has("Patcher: short.dat from 127.0.0.1:" + std::to_string(s1.Port()) +
                        " has fewer bytes than the list's 5; refused, trying another server"));
    EXPECT_EQ(rec.Count("done 1/2"), 1);
    EXPECT_EQ(rec.Count("done 2/2"), 0);
}

}  // namespace
}  // namespace vr

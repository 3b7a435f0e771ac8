// Whole passes against loopback mirrors: game folder effects, reports,
// self-update, failures, cancel, unsafe lists, and the maintenance flag.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <thread>

#include "patch_fixture.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"

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
    const std::vector<std::string> expected = {
        "phase checking", "count 3",  "phase downloading", "progress 100 a.dat",
        "done 1/3",       "progress 100 Data\\Sub\\b b.dat", "done 2/3",
        "progress 100 c.dat", "done 3/3", "phase finished"};
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
    game.Write(L"c.dat", "stale copy");

    Patcher p = Make({&s2, &s1});
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::FileMissing);
    EXPECT_EQ(game.Read(L"a.dat"), "one");
    EXPECT_EQ(game.Read(L"b.dat"), "two");
    EXPECT_FALSE(game.Exists(L"c.dat"));
    EXPECT_FALSE(game.Exists(L"d.dat"));  // nothing after the failure is tried
    EXPECT_EQ(p.LastUrl(), s2.WUrl() + L"c.dat.gz");
    EXPECT_EQ(rec.Count("done 2/4"), 1);
    EXPECT_EQ(rec.Count("done 3/4"), 0);
    EXPECT_EQ(rec.Count("phase finished"), 0);
}

TEST_F(PatchRunTest, FailuresMapToResults) {
    {  // a file that keeps failing: network error, and no partial copy stays
        Published pub;
        pub.File({}, "a.dat", "x", 1);
        pub.Serve({&s1});
        std::string noise(100000, '\0');
        for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
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
        EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
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
        EXPECT_EQ(r.Milestones(), (std::vector<std::string>{"phase checking", "phase updating",
                                                            "progress 100 newLauncher.exe"}));
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
        Patcher p = Make({&server});
        PatchCallbacks c;
        c.filesDone = [&](int, int) { cancel = true; };
        EXPECT_EQ(p.Run(cancel, c), PatchResult::PatchCancelled);
        EXPECT_EQ(game.Read(L"a.dat"), "first");
        EXPECT_EQ(test::UnixMtime(game.Join(L"a.dat")), 7);
        EXPECT_EQ(server.CountRequests("/b.dat.gz"), 0);
    }
}

TEST_F(PatchRunTest, UnsafeEntriesNeverTouchAnythingOutside) {
    test::TempDir root;
    const std::wstring gameDir = root.Join(L"game");
    root.MakeDir(L"game");
    const std::string drivePath = "C:\\veltrune-unsafe-" + std::to_string(GetCurrentProcessId()) + ".dat";
    Published pub;
    for (const std::string& bad :
         {std::string("..\\escape.dat"), std::string("../slash.dat"), std::string("sub\\..\\..\\deep.dat"),
          drivePath, std::string("\\rooted.dat"), std::string("\\\\127.0.0.1\\share\\unc.dat"),
          std::string("ads.dat:hidden"), std::string("..."), std::string("a\\\\b.dat"), std::string(".\\dot.dat")}) {
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
    for (const auto& r : s1.Requests()) asked.push_back(r.path);
    EXPECT_EQ(asked, (std::vector<std::string>{"/list.txt.gz", "/good.dat.gz"}));
    EXPECT_EQ(log.Count("Patcher: refused unsafe path "), 12);
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path ..\\escape.dat\r\n"));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path ..\\outside\r\n"));
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
    for (const auto& r : server.Requests()) {
        EXPECT_EQ(r.path, path);  // uncompressed, primary server only
        EXPECT_EQ(r.userAgent, "VeltruneClient/1.0");
    }
}

}  // namespace
}  // namespace vr

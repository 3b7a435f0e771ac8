// Whole passes against loopback mirrors: game folder effects, reports,
// self-update, failures, cancel, the listed checks and the maintenance flag.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "patch_fixture.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/small_disks.h"
#include "support/test_data.h"

namespace vr {
namespace {

using test::Gzip;
using test::HttpServer;
using test::Reply;

// A published game: the list text and each object on every given server.
struct Published {
    std::string list = "v 29\n";
    std::string dir;  // the current folder line, as a URL prefix

    void File(const std::vector<HttpServer*>& servers, const std::string& rel, const std::string& bytes,
              int64_t mtime) {
        list += "f " + std::to_string(mtime) + " " + std::to_string(bytes.size()) + " 0 " + rel + "\n";
        std::string path = "/" + dir;
        for (char c : rel) path += c == '\\' ? std::string("/") : c == ' ' ? std::string("%20") : std::string(1, c);
        for (HttpServer* s : servers) s->Serve(path + ".gz", Gzip(bytes));
    }
    void Folder(const std::string& folder) {
        list += folder.empty() ? "d\n" : "d " + folder + "\n";
        dir.clear();
        for (char c : folder) dir += c == '\\' ? '/' : c;
        if (!dir.empty()) dir += '/';
    }
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
        return Patcher(c, gameDir.empty() ? game.path() : gameDir, seams);
    }
    // s2 answers its probe late, so a pass starts on s1.
    void SlowProbeOnS2(const std::string& list) {
        Reply late = Reply::Ok(Gzip(list));
        late.statusDelayMs = 500;
        s2.Set("/list.txt.gz", late);
    }

    test::TempDir game, roaming;
    std::wstring gameDir;  // another game folder than `game`
    test::LogCapture log;
    std::atomic<bool> cancel{false};
    test::Recorder rec;
    HttpServer s1, s2;
    int connections = 0;  // the shipped default unless a test fixes it
};

TEST_F(PatchRunTest, StaleFilesDownloadInOrderAndStayCurrent) {
    Published pub;
    pub.File({&s1, &s2}, "a.dat", std::string(70000, 'a'), 1500000000);
    pub.Folder("Data\\Sub");
    pub.File({&s1, &s2}, "b b.dat", "bee", 1500000100);
    pub.Folder("Empty");
    pub.Folder("");
    pub.File({&s1, &s2}, "c.dat", "", 1400000000);
    pub.Serve({&s1, &s2});
    game.Write(L"a.dat", "old content");  // wrong size
    game.Write(L"stray.txt", "mine");     // not listed: left alone

    Patcher p = Make({&s1, &s2});
    ASSERT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(rec.Milestones(),
              (std::vector<std::string>{"phase checking", "count 3", "phase downloading", "progress 100 a.dat",
                                        "done 1/3", "progress 100 Data\\Sub\\b b.dat", "done 2/3", "progress 100 c.dat",
                                        "done 3/3", "phase finished"}));
    EXPECT_EQ(game.Read(L"a.dat"), std::string(70000, 'a'));
    EXPECT_EQ(game.Read(L"Data\\Sub\\b b.dat"), "bee");
    EXPECT_TRUE(game.Exists(L"Empty"));
    EXPECT_EQ(game.Read(L"stray.txt"), "mine");
    EXPECT_EQ(test::UnixMtime(game.Join(L"Data\\Sub\\b b.dat")), 1500000100);
    EXPECT_EQ(test::UnixMtime(game.Join(L"c.dat")), 1400000000);

    // A second pass finds everything current.
    rec.events.clear();
    EXPECT_EQ(p.Run(cancel, rec.Callbacks()), PatchResult::Finished);
    EXPECT_EQ(rec.Milestones(), (std::vector<std::string>{"phase checking", "phase finished"}));
}

TEST_F(PatchRunTest, MissingThirdFileKeepsFirstTwo) {
    Published pub;
    pub.File({&s1, &s2}, "a.dat", "one", 1000);
    pub.File({&s1, &s2}, "b.dat", "two", 1000);
    pub.File({}, "c.dat", "three", 1000);
    pub.File({&s1, &s2}, "d.dat", "four", 1000);
    pub.Serve({&s1});
    SlowProbeOnS2(pub.list);
    // The 404s come late, so in parallel the files before c.dat have completed.
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
        EXPECT_EQ(game.Read(L"b.dat"), "two");
        EXPECT_FALSE(game.Exists(L"c.dat"));
        if (n == 1) EXPECT_FALSE(game.Exists(L"d.dat"));  // nothing after the failure is tried
        // In flight beside c.dat: kept only when complete and stamped.
        if (game.Exists(L"d.dat")) EXPECT_EQ(test::UnixMtime(game.Join(L"d.dat")), 1000);
        EXPECT_EQ(p.LastUrl(), s2.WUrl() + L"c.dat.gz");
        EXPECT_EQ(rec.Count("done 2/4"), 1);
        EXPECT_EQ(rec.Count("done 3/4"), 0);
    }
}

TEST_F(PatchRunTest, FailuresMapToResults) {
    {  // a file that keeps failing: network error, and no partial copy stays
        const std::string noise = test::Noise(100000, 5);
        Published pub;
        pub.File({}, "a.dat", noise, 1);
        pub.Serve({&s1});
        Reply cut = Reply::Ok(Gzip(noise));
        cut.truncateAt = cut.body.size() / 2;
        s1.Set("/a.dat.gz", cut);
        EXPECT_EQ(Make({&s1}).Run(cancel, {}), PatchResult::NetworkError);
        EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 6);
        EXPECT_FALSE(game.Exists(L"a.dat"));
    }
    {  // a target that is a folder: no request, no retry
        Published pub;
        pub.File({&s1}, "dir.dat", "x", 1);
        pub.Serve({&s1});
        game.MakeDir(L"dir.dat");
        Patcher p = Make({&s1});
        EXPECT_EQ(p.Run(cancel, {}), PatchResult::WriteFailed);
        EXPECT_EQ(p.WriteError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(s1.CountRequests("/dir.dat.gz"), 0);
    }
    // The list itself.
    s1.Remove("/list.txt.gz");
    Patcher p = Make({&s1});
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::FileMissing);
    EXPECT_EQ(p.LastUrl(), s1.WUrl() + L"list.txt.gz");
    s1.Set("/list.txt.gz", Reply::Status(502));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
    s1.Serve("/list.txt.gz", "plain text, not gzip");
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
}

TEST_F(PatchRunTest, VersionMismatchDownloadsOnlyTheNewLauncher) {
    for (const char* version : {"v 30", "v 28"}) {
        SCOPED_TRACE(version);
        HttpServer server;
        server.Serve("/list.txt.gz", Gzip("f 5 1 0 stale.dat\n" + std::string(version) + "\nf 5 1 0 later.dat\n"));
        server.Serve("/newLauncher.exe.gz", Gzip("MZ new build"));
        test::Recorder r;
        Patcher p = Make({&server});
        ASSERT_EQ(p.Run(cancel, r.Callbacks()), PatchResult::SelfUpdateReady);
        EXPECT_EQ(p.SelfUpdatePath(), roaming.path() + L"\\VeltruneTestData\\newLauncher.exe");
        EXPECT_EQ(roaming.Read(L"VeltruneTestData\\newLauncher.exe"), "MZ new build");
        EXPECT_EQ(r.Milestones(),
                  (std::vector<std::string>{"phase checking", "phase updating", "progress 100 newLauncher.exe"}));
        EXPECT_EQ(server.CountRequests("/stale.dat.gz") + server.CountRequests("/later.dat.gz"), 0);
    }

    s1.Serve("/list.txt.gz", Gzip("v 31\n"));
    Patcher missing = Make({&s1});
    EXPECT_EQ(missing.Run(cancel, {}), PatchResult::FileMissing);
    EXPECT_EQ(missing.LastUrl(), s1.WUrl() + L"newLauncher.exe.gz");
    EXPECT_EQ(s1.CountRequests("/newLauncher.exe.gz"), 1);
    EXPECT_EQ(Make({&s1}, false).Run(cancel, {}), PatchResult::NetworkError);  // no roaming folder

    // A #launcher line vouches for the build; other bytes are deleted.
    const std::wstring replacement = roaming.Join(L"VeltruneTestData\\newLauncher.exe");
    DeleteFileW(replacement.c_str());
    s1.Serve("/list.txt.gz",
             Gzip("v 31\n#launcher ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad 3\n"));
    s1.Serve("/newLauncher.exe.gz", Gzip("abd"));
    EXPECT_EQ(Make({&s1}).Run(cancel, {}), PatchResult::FileMismatch);
    EXPECT_FALSE(roaming.Exists(L"VeltruneTestData\\newLauncher.exe"));
    s1.Serve("/newLauncher.exe.gz", Gzip("abc"));
    EXPECT_EQ(Make({&s1}).Run(cancel, {}), PatchResult::SelfUpdateReady);

    // The shipped roaming folder is the real one of the profile.
    wchar_t appData[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData)));
    LauncherConfig c = test::ConfigFor({s1.WUrl()});
    c.appDataFolderName = L"VeltruneTest-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = std::wstring(appData) + L"\\" + c.appDataFolderName;
    Patcher real(c, game.path());
    EXPECT_EQ(real.Run(cancel, {}), PatchResult::SelfUpdateReady);
    EXPECT_EQ(real.SelfUpdatePath(), folder + L"\\newLauncher.exe");
    EXPECT_TRUE(DeleteFileW(real.SelfUpdatePath().c_str()));
    RemoveDirectoryW(folder.c_str());
}

// One at a time, the listed size decides on every list and the listed
// SHA-256 (of any letter case) where the list has "#hash sha256". Wrong
// bytes are refused at once and the next server is asked; tampering on one
// server outweighs a 404 on the last.
TEST_F(PatchRunTest, ListedSizeAndHashDecide) {
    connections = 1;
    const std::string list = "v 29\nf 1500000000 5 0 short.dat\n";
    s1.Serve("/list.txt.gz", Gzip(list));
    SlowProbeOnS2(list);
    s1.Serve("/short.dat.gz", Gzip("abcd"));
    EXPECT_EQ(Make({&s1, &s2}).Run(cancel, {}), PatchResult::FileMismatch);
    EXPECT_FALSE(game.Exists(L"short.dat"));
    EXPECT_EQ(s1.CountRequests("/short.dat.gz"), 1);

    const std::string hashed =
        "v 29\n#hash sha256\nf 1500000000 5 36BBE50ED96841D10443BCB670D6554F0A34B761BE67EC9C4A8AD2C0C44CA42C "
        "short.dat\n";
    s1.Serve("/list.txt.gz", Gzip(hashed));
    SlowProbeOnS2(hashed);
    s1.Serve("/short.dat.gz", Gzip("abcdef"));
    s2.Serve("/short.dat.gz", Gzip("abcde"));
    EXPECT_EQ(Make({&s1, &s2}).Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"short.dat"), "abcde");  // healed from s2
    EXPECT_EQ(test::UnixMtime(game.Join(L"short.dat")), 1500000000);
}

TEST_F(PatchRunTest, CancelBetweenFilesKeepsTheCompleteOne) {
    Published pub;
    pub.File({&s1}, "a.dat", "first", 7);
    pub.File({&s1}, "b.dat", "second", 7);
    pub.Serve({&s1});
    connections = 1;  // one at a time opens nothing ahead
    PatchCallbacks c;
    c.filesDone = [&](int, int) { cancel = true; };
    EXPECT_EQ(Make({&s1}).Run(cancel, c), PatchResult::PatchCancelled);
    EXPECT_EQ(test::UnixMtime(game.Join(L"a.dat")), 7);
    EXPECT_EQ(s1.Requests().size(), 2u);
}

TEST_F(PatchRunTest, ReadOnlyHiddenAndSystemFilesAreReplaced) {
    Published pub;
    pub.File({&s1}, "locked.dat", "new bytes", 1500000000);
    pub.Serve({&s1});
    const DWORD marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    game.Write(L"locked.dat", "old");
    ASSERT_TRUE(SetFileAttributesW(game.Join(L"locked.dat").c_str(), marks | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(Make({&s1}).Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"locked.dat"), "new bytes");
    EXPECT_EQ(GetFileAttributesW(game.Join(L"locked.dat").c_str()) & marks, 0u);
    EXPECT_EQ(test::UnixMtime(game.Join(L"locked.dat")), 1500000000);
}

TEST_F(PatchRunTest, ListThatInflatesPastTheCapFailsThePass) {
    // About 70 KiB on the wire, 70 MiB inflated: a file line, then blank lines.
    std::string bomb = "v 29\nf 1 1 x a.dat\n";
    bomb.resize(70u << 20, '\n');
    s1.Serve("/list.txt.gz", Gzip(bomb, 9));
    s1.Serve("/a.dat.gz", Gzip("a"));
    Patcher p = Make({&s1});
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::NetworkError);
    EXPECT_EQ(s1.CountRequests("/a.dat.gz"), 0);
    EXPECT_TRUE(log.Has("Patcher: list.txt is larger than 64 MiB once inflated; refused"));
    bomb.resize(64u << 20);  // exactly at the cap is still a list
    s1.Serve("/list.txt.gz", Gzip(bomb, 9));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"a.dat"), "a");
}

// Times a FILETIME cannot hold are never current and never stamped; times
// before 1970 are ordinary times.
TEST_F(PatchRunTest, TimesOutsideTheFileTimeRangeAreNeverCurrentNorStamped) {
    const std::vector<std::string> outside = {"9223372036854775807", "99999999999999999999", "-9223372036854775808",
                                              "910692730086", "-11644473601"};
    std::string list = "v 29\nf -86400 3 x 1969.dat\n";
    s1.Serve("/1969.dat.gz", Gzip("abc"));
    for (size_t i = 0; i < outside.size(); ++i) {
        list += "f " + outside[i] + " 3 x " + std::to_string(i) + ".dat\n";
        s1.Serve("/" + std::to_string(i) + ".dat.gz", Gzip("abc"));
    }
    s1.Serve("/list.txt.gz", Gzip(list));
    Patcher p = Make({&s1});
    ASSERT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    ASSERT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(test::UnixMtime(game.Join(L"1969.dat")), -86400);
    EXPECT_EQ(s1.CountRequests("/1969.dat.gz"), 1);
    for (size_t i = 0; i < outside.size(); ++i) {
        // Left with the time of the download, not a wrapped-around stamp.
        EXPECT_GT(test::UnixMtime(game.Join(std::to_wstring(i) + L".dat")), 1600000000) << outside[i];
        EXPECT_EQ(s1.CountRequests("/" + std::to_string(i) + ".dat.gz"), 2) << outside[i];
    }
}

TEST_F(PatchRunTest, AFullDiskEndsThePassAndTheNextPassWithSpaceRecovers) {
    const test::SmallDisks disks;
    VR_REQUIRE_SMALL_DISKS(disks);
    gameDir = disks.full + L"\\game";
    const std::wstring filler = disks.full + L"\\filler", big = gameDir + L"\\big.dat";
    ASSERT_TRUE(CreateDirectoryW(gameDir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(test::FillDisk(filler, 3u << 20));
    Published pub;
    pub.File({&s1}, "small.dat", "small", 1500000000);
    pub.File({&s1}, "big.dat", test::Noise(2u << 20, 7), 1500000100);
    pub.File({&s1}, "after.dat", "after", 1500000200);
    pub.Serve({&s1});
    connections = 1;  // so after.dat is provably never asked for
    Patcher p = Make({&s1});
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::WriteFailed);
    EXPECT_EQ(p.WriteError(), static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(p.WriteFailedPath(), big);
    EXPECT_EQ(GetFileAttributesW(big.c_str()), INVALID_FILE_ATTRIBUTES);  // no partial copy
    EXPECT_EQ(test::UnixMtime(gameDir + L"\\small.dat"), 1500000000);
    EXPECT_EQ(s1.CountRequests("/big.dat.gz"), 1);  // a full disk is not retried
    EXPECT_EQ(s1.CountRequests("/after.dat.gz"), 0);

    ASSERT_TRUE(DeleteFileW(filler.c_str()));
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(test::UnixMtime(big), 1500000100);
    for (const wchar_t* n : {L"\\small.dat", L"\\big.dat", L"\\after.dat"}) DeleteFileW((gameDir + n).c_str());
    RemoveDirectoryW(gameDir.c_str());
}

TEST(Maintenance, FlagFileRules) {
    HttpServer server;
    LauncherConfig c = test::ConfigFor({L"http://127.0.0.1:9/mirror/"});
    c.serverUrl = server.WUrl() + L"flags/";
    c.maintFile = L"MaintanenceCheck.txt";
    const std::string path = "/flags/MaintanenceCheck.txt";  // uncompressed, on the primary server
    EXPECT_FALSE(IsMaintenanceActive(c));                    // 404
    std::string huge = "true";
    huge.resize((64u << 10) + 1, ' ');  // past 64 KiB is not read, however it starts
    for (const std::string& on :
         std::vector<std::string>{"true", "  TRUE \r\n", "\tTrUe\n", huge.substr(0, 64u << 10)}) {
        server.Serve(path, on);
        EXPECT_TRUE(IsMaintenanceActive(c)) << on;
    }
    for (const std::string& off : std::vector<std::string>{"true1", "yes", "", "false", "t rue", "1", huge}) {
        server.Serve(path, off);
        EXPECT_FALSE(IsMaintenanceActive(c)) << off.substr(0, 10);
    }
    server.Set(path, Reply::Status(500, "true"));
    EXPECT_FALSE(IsMaintenanceActive(c));
}

}  // namespace
}  // namespace vr

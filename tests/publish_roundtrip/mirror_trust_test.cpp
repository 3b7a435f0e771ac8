// Mirrors as untrusted transport: lists and objects written by the real
// publishing tool (its Windows build), served by loopback mirrors, some of
// them tampered with, and patched by the launcher's own code.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <memory>

#include "platform/launcher_config.h"
#include "platform/log.h"
#include "bridge/bridge.h"
#include "fakes/fake_process/fake_record.h"
#include "game/preferences.h"
#include "patcher/patcher.h"
#include "publish_tool.h"
#include "support/fake_process_path.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/recording_host.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {
namespace {

using test::Gunzip;
using test::Gzip;
using test::HttpServer;
using test::Reply;
using test::RunPublish;
using test::TempDir;

bool FolderEmpty(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return true;
    bool empty = true;
    do {
        const std::wstring n = data.cFileName;
        if (n != L"." && n != L"..") empty = false;
    } while (empty && FindNextFileW(find, &data));
    FindClose(find);
    return empty;
}

// Large enough for the download to hash on its helper thread.
constexpr size_t kBig = (5u << 20) + 123;

class MirrorTrust : public ::testing::Test {
protected:
    MirrorTrust() {
        InitLog(logDir.path());
        source.Write(L"a.txt", "alpha");
        source.Write(L"Data\\b.bin", Bytes(kBig, 1));
        source.Write(L"Data\\c.bin", Bytes(3000, 2));
    }

    static std::string Bytes(size_t n, unsigned seed) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((i + seed * 7919) * 2654435761u) >> 13);
        return s;
    }

    // A fresh key; returns the public line keygen prints.
    std::string Keygen(const std::wstring& name) {
        const std::wstring pubFile = keys.Join(name + L".pub");
        EXPECT_EQ(test::RunPublishCapturing({L"keygen", L"--out", keys.Join(name + L".key")}, pubFile), 0);
        std::string pub = keys.Read(name + L".pub");
        while (!pub.empty() && (pub.back() == '\n' || pub.back() == '\r')) pub.pop_back();
        return pub;
    }

    void Publish(const std::vector<std::wstring>& extra) {
        std::vector<std::wstring> args = {L"--game", source.path(), L"--out", out.path(), L"--version", L"29"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(RunPublish(args), 0);
    }

    // Everything the tool wrote, under the paths the launcher asks for.
    void ServeAll(HttpServer& server) {
        std::map<std::wstring, std::wstring> objects;
        test::Walk(out.path(), L"", objects);
        for (const auto& [rel, full] : objects) {
            std::string path = WideToUtf8(rel);
            for (char& c : path) {
                if (c == '\\') c = '/';
            }
            server.Serve("/" + PercentEncode(path), out.Read(rel));
        }
    }

    // Both mirrors serve the publication; the second answers its probe late,
    // so the first is the one a pass starts on.
    void ServeBoth() {
        ServeAll(m1);
        ServeAll(m2);
        Reply late = Reply::Ok(out.Read(L"list.txt.gz"));
        late.statusDelayMs = 1000;
        m2.Set("/list.txt.gz", late);
    }

    LauncherConfig Config(const std::string& key) const {
        LauncherConfig c;
        c.mirrors = {m1.WUrl(), m2.WUrl()};
        c.serverUrl = m1.WUrl();
        c.patchVersion = 29;
        c.appDataFolderName = L"TrustTest";
        c.listKey = Utf8ToWide(key);
        return c;
    }

    // A patcher whose serials live in the preferences file of the game
    // folder, as the bridge wires it.
    std::unique_ptr<Patcher> MakePatcher(const std::string& key, int64_t clockShift = 0) {
        Patcher::Seams seams;
        seams.pause = [](uint32_t) { Sleep(1); };
        seams.roamingFolder = [this] { return roaming.path(); };
        if (clockShift != 0) {
            const auto real = seams.unixNow;
            seams.unixNow = [real, clockShift] { return real() + clockShift; };
        }
        auto p = std::make_unique<Patcher>(Config(key), game.path(), seams);
        const std::wstring prefs = game.path();
        p->SetSerialStore({[prefs](const std::string& id) { return LoadListSerial(prefs, id); },
                           [prefs](const std::string& id, int64_t s) { SaveListSerial(prefs, id, s); }});
        return p;
    }

    std::string Log() const { return logDir.Read(L"Veltrune.log"); }
    bool Logged(const std::string& piece) const { return Log().find(piece) != std::string::npos; }

    TempDir source, out, keys, game, roaming, logDir;
    HttpServer m1, m2;
    std::atomic<bool> cancel{false};
};

TEST_F(MirrorTrust, ATamperedObjectOnOneMirrorIsHealedFromTheOtherAndLogged) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key")});
    ServeBoth();
    // Same size, other bytes: only the hash can tell.
    std::string forged = Bytes(kBig, 1);
    forged[12345] ^= 0x5A;
    m1.Serve("/Data/b.bin.gz", Gzip(forged));

    auto p = MakePatcher(key);
    ASSERT_EQ(p->Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"Data\\b.bin"), Bytes(kBig, 1));
    EXPECT_EQ(game.Read(L"Data\\c.bin"), Bytes(3000, 2));
    EXPECT_EQ(m1.CountRequests("/Data/b.bin.gz"), 1);  // refused at once, no retries on that mirror
    EXPECT_EQ(m2.CountRequests("/Data/b.bin.gz"), 1);
    EXPECT_TRUE(Logged("Patcher: Data\\b.bin from 127.0.0.1:" + std::to_string(m1.Port()) +
                       " does not match the list's SHA-256"))
        << Log();

    // Without a key the hashes are checked all the same, and a body longer
    // than listed is refused too.
    TempDir game2;
    m1.Serve("/Data/b.bin.gz", Gzip(Bytes(kBig + 1, 1)));
    Patcher::Seams seams;
    seams.pause = [](uint32_t) { Sleep(1); };
    Patcher unkeyed(Config(""), game2.path(), seams);
    ASSERT_EQ(unkeyed.Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game2.Read(L"Data\\b.bin"), Bytes(kBig, 1));
    EXPECT_TRUE(Logged("Patcher: Data\\b.bin from 127.0.0.1:" + std::to_string(m1.Port()) +
                       " has more bytes than the list's " + std::to_string(kBig)))
        << Log();
}

TEST_F(MirrorTrust, AFileTamperedOnEveryMirrorFailsThePassAndIsNotKept) {
    Publish({});
    ServeBoth();
    std::string forged = Bytes(3000, 2);
    forged[0] ^= 1;
    m1.Serve("/Data/c.bin.gz", Gzip(forged));
    m2.Serve("/Data/c.bin.gz", Gzip(forged));
    game.Write(L"Data\\c.bin", "old copy");
    auto p = MakePatcher("");
    EXPECT_EQ(p->Run(cancel, {}), PatchResult::FileMismatch);
    EXPECT_FALSE(game.Exists(L"Data\\c.bin"));
    EXPECT_EQ(p->LastUrl(), m2.WUrl() + L"Data/c.bin.gz");
}

TEST_F(MirrorTrust, ATamperedListOnEveryMirrorEndsThePassWithNothingWritten) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key")});
    std::string list = Gunzip(out.Read(L"list.txt.gz"));
    const size_t at = list.find(" a.txt");
    ASSERT_NE(at, std::string::npos) << list;
    list[at - 1] = list[at - 1] == '0' ? '1' : '0';  // the last digit of a.txt's hash
    out.Write(L"list.txt.gz", Gzip(list));
    ServeBoth();

    auto p = MakePatcher(key);
    EXPECT_EQ(p->Run(cancel, {}), PatchResult::ListUnverified);
    EXPECT_TRUE(FolderEmpty(game.path()));
    EXPECT_EQ(m1.CountRequests("/a.txt.gz") + m2.CountRequests("/a.txt.gz"), 0);
    const std::string log = Log();
    EXPECT_NE(log.find("Patcher: refused the patch list from 127.0.0.1:" + std::to_string(m1.Port()) +
                       ": signature check: does not match the key"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Patcher: refused the patch list from 127.0.0.1:" + std::to_string(m2.Port())),
              std::string::npos);
}

TEST_F(MirrorTrust, ListsSignedByAnotherKeyOrUnsignedAreRefusedWhenAKeyIsSet) {
    const std::string ours = Keygen(L"ours");
    Keygen(L"theirs");
    Publish({L"--sign", keys.Join(L"theirs.key")});
    ServeBoth();
    EXPECT_EQ(MakePatcher(ours)->Run(cancel, {}), PatchResult::ListUnverified);
    EXPECT_TRUE(Logged("signature check: does not match the key")) << Log();
    EXPECT_TRUE(FolderEmpty(game.path()));

    Publish({});  // the same publication, now unsigned
    ServeBoth();
    EXPECT_EQ(MakePatcher(ours)->Run(cancel, {}), PatchResult::ListUnverified);
    EXPECT_TRUE(Logged("the list is not signed")) << Log();
    EXPECT_TRUE(FolderEmpty(game.path()));

    // Without a key the unsigned list patches as it always did.
    EXPECT_EQ(MakePatcher("")->Run(cancel, {}), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"a.txt"), "alpha");
}

TEST_F(MirrorTrust, AnOlderSerialIsRefusedAcrossRunsAndTheSameOneStillPasses) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key"), L"--serial", L"5000000000"});
    ServeBoth();
    ASSERT_EQ(MakePatcher(key)->Run(cancel, {}), PatchResult::Finished);
    ASSERT_EQ(MakePatcher(key)->Run(cancel, {}), PatchResult::Finished);  // equal serial: a re-fetch, fine

    // A mirror still holding an older (validly signed) publication.
    source.Write(L"a.txt", "alpha, older");
    Publish({L"--sign", keys.Join(L"k.key"), L"--serial", L"4999999999"});
    ServeBoth();
    EXPECT_EQ(MakePatcher(key)->Run(cancel, {}), PatchResult::ListUnverified);
    EXPECT_TRUE(Logged("serial 4999999999 is older than 5000000000 seen before")) << Log();
    EXPECT_EQ(game.Read(L"a.txt"), "alpha");
}

TEST_F(MirrorTrust, AListPastItsExpiryIsRefusedAfterADayOfClockSlack) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key"), L"--expires", L"1"});
    ServeBoth();
    // Expires in one day: half a day past that is within the slack...
    EXPECT_EQ(MakePatcher(key, 86400 + 43200)->Run(cancel, {}), PatchResult::Finished);
    // ...a day and a half past it is not.
    game.Write(L"a.txt", "changed locally");
    EXPECT_EQ(MakePatcher(key, 3 * 86400 + 43200)->Run(cancel, {}), PatchResult::ListUnverified);
    EXPECT_TRUE(Logged("the list expired at")) << Log();
    EXPECT_EQ(game.Read(L"a.txt"), "changed locally");
}

TEST_F(MirrorTrust, RepairFindsAndFixesAFileWhoseBytesChangedButNotItsSizeOrTime) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key")});
    ServeBoth();
    auto p = MakePatcher(key);
    ASSERT_EQ(p->Run(cancel, {}), PatchResult::Finished);

    const std::wstring b = game.Join(L"Data\\b.bin");
    const int64_t stamped = test::UnixMtime(b);
    std::string damaged = Bytes(kBig, 1);
    damaged[kBig - 1] ^= 0x01;
    game.Write(L"Data\\b.bin", damaged);
    test::SetUnixMtime(b, stamped);

    // A normal pass cannot see it.
    int queued = 0;
    PatchCallbacks counting;
    counting.fileCount = [&](int n) { queued = n; };
    ASSERT_EQ(p->Run(cancel, counting), PatchResult::Finished);
    EXPECT_EQ(queued, 0);
    EXPECT_EQ(game.Read(L"Data\\b.bin"), damaged);

    std::vector<std::string> phases;
    std::vector<std::vector<double>> progress;
    PatchCallbacks cb;
    cb.phase = [&](const std::string& w) { phases.push_back(w); };
    cb.fileCount = [&](int n) { queued = n; };
    cb.verifyProgress = [&](int done, int total, double mb, double totalMb) {
        progress.push_back({static_cast<double>(done), static_cast<double>(total), mb, totalMb});
    };
    ASSERT_EQ(p->Run(cancel, cb, true), PatchResult::Finished);
    EXPECT_EQ(phases, (std::vector<std::string>{"checking", "verifying", "downloading", "finished"}));
    EXPECT_EQ(queued, 1);
    EXPECT_EQ(game.Read(L"Data\\b.bin"), Bytes(kBig, 1));
    EXPECT_EQ(test::UnixMtime(b), stamped);
    ASSERT_FALSE(progress.empty());
    const double totalMb = (5 + kBig + 3000) / 1048576.0;
    EXPECT_EQ(progress.front(), (std::vector<double>{0, 3, 0, totalMb}));
    EXPECT_EQ(progress.back(), (std::vector<double>{3, 3, totalMb, totalMb}));
    EXPECT_TRUE(Logged("Patcher: Data\\b.bin does not match the list's SHA-256; it will be downloaded again")) << Log();
}

// The whole road through the bridge: a forged replacement launcher on every
// mirror is deleted, the updater (a recording stand-in) never starts and the
// page hears why; the genuine one, once served, is handed over.
TEST_F(MirrorTrust, ATamperedReplacementLauncherNeverReachesTheUpdater) {
    const std::string key = Keygen(L"k");
    const std::string genuine = "MZ genuine replacement launcher " + Bytes(5000, 3);
    TempDir launcherDir;
    launcherDir.Write(L"Veltrune.exe", genuine);
    ASSERT_EQ(RunPublish({L"--game", source.path(), L"--out", out.path(), L"--version", L"30", L"--sign",
                          keys.Join(L"k.key"), L"--launcher", launcherDir.Join(L"Veltrune.exe")}),
              0);
    ServeBoth();
    std::string forged = genuine;
    forged[1] = 'X';
    m1.Serve("/newLauncher.exe.gz", Gzip(forged));
    m2.Serve("/newLauncher.exe.gz", Gzip(forged));

    TempDir exeDir;  // the launcher's folder, with the recording updater
    const std::wstring record = exeDir.Join(L"starts.txt");
    test::ScopedEnv recordEnv(L"VR_FAKE_RECORD", record);
    ASSERT_TRUE(CopyFileW(test::FakeProcessExe().c_str(), exeDir.Join(L"updater.exe").c_str(), FALSE));
    LauncherConfig config = Config(key);
    config.serverUrl = m1.WUrl() + L"nomaint/";
    Bridge::Seams seams;
    seams.pause = [](uint32_t) { Sleep(4); };
    seams.patcher.pause = [](uint32_t) { Sleep(1); };
    seams.patcher.roamingFolder = [&] { return roaming.path(); };
    seams.launcher.pause = [](uint32_t) {};
    test::RecordingHost host;
    auto bridge = std::make_unique<Bridge>(config, exeDir.path(), &host, seams);
    bridge->OnWebMessage(L"{\"cmd\":\"patch.start\"}");
    ASSERT_GE(host.WaitForEvent("error", 30000), 0);
    for (int n = 0; n < 2000 && bridge->IsRunning(); ++n) Sleep(10);

    const std::wstring replacement = roaming.Join(L"TrustTest\\newLauncher.exe");
    EXPECT_EQ(
        host.Events().back(),
        R"({"evt":"error","message":"A downloaded file did not match the patch list on any server and was deleted:\n)" +
            WideToUtf8(m2.WUrl()) + R"(newLauncher.exe.gz\nPlease try again later."})");
    EXPECT_EQ(host.CountCalls("Close"), 0);
    EXPECT_EQ(GetFileAttributesW(replacement.c_str()), INVALID_FILE_ATTRIBUTES);
    Sleep(200);
    EXPECT_TRUE(test::ReadFakeStarts(record).empty());
    EXPECT_FALSE(bridge->CanPlay());

    // The genuine file back on one mirror: Retry hands it over.
    m2.Serve("/newLauncher.exe.gz", Gzip(genuine));
    bridge->OnWebMessage(L"{\"cmd\":\"patch.retry\"}");
    ASSERT_TRUE(host.WaitForCalls("Close", 1, 30000));
    std::vector<test::FakeStart> starts;
    for (int n = 0; n < 200 && starts.empty(); ++n, Sleep(50)) starts = test::ReadFakeStarts(record);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].commandLine.find(replacement), std::wstring::npos);
    bridge.reset();
}

}  // namespace
}  // namespace vr

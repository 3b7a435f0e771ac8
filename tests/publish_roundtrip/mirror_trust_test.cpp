// Mirrors as untrusted transport: lists and objects written and signed by
// the real publishing tool (its Windows build), served by loopback mirrors,
// some of them tampered with, and patched by the launcher's own code.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "game/preferences.h"
#include "patcher/patcher.h"
#include "platform/launcher_config.h"
#include "publish_tool.h"
#include "support/file_times.h"
#include "support/gzip_util.h"
#include "support/log_capture.h"
#include "support/test_data.h"

namespace vr {
namespace {

using test::Gzip;
using test::Reply;
using test::RunPublish;

// Large enough for the download to hash on its helper thread.
constexpr size_t kBig = (5u << 20) + 123;

class MirrorTrust : public ::testing::Test {
protected:
    MirrorTrust() {
        source.Write(L"a.txt", "alpha");
        source.Write(L"Data\\b.bin", test::Noise(kBig, 1));
        source.Write(L"Data\\c.bin", test::Noise(3000, 2));
    }
    // A fresh key; returns the public line keygen prints.
    std::string Keygen(const std::wstring& name) {
        EXPECT_EQ(RunPublish({L"keygen", L"--out", keys.Join(name + L".key")}, keys.Join(name + L".pub")), 0);
        std::string pub = keys.Read(name + L".pub");
        return pub.substr(0, pub.find_first_of("\r\n"));
    }
    // Publishes and serves on both mirrors; the second answers its probe
    // late, so a pass starts on the first.
    void Publish(const std::vector<std::wstring>& extra, const wchar_t* version = L"29") {
        std::vector<std::wstring> args = {L"--game", source.path(), L"--out", out.path(), L"--version", version};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(RunPublish(args), 0);
        test::ServeAll(m1, out);
        test::ServeAll(m2, out);
        Reply late = Reply::Ok(out.Read(L"list.txt.gz"));
        late.statusDelayMs = 1000;
        m2.Set("/list.txt.gz", late);
    }
    // Serials live in the preferences file of the game folder, as the bridge wires it.
    PatchResult Run(const std::string& key, int64_t clockShift = 0, PatchCallbacks callbacks = {},
                    bool repair = false) {
        LauncherConfig c;
        c.mirrors = {m1.WUrl(), m2.WUrl()};
        c.serverUrl = m1.WUrl();
        c.listFile = L"list.txt";
        c.newLauncher = L"newLauncher.exe";
        c.patchVersion = 29;
        c.appDataFolderName = L"TrustTest";
        c.listKey = Utf8ToWide(key);
        Patcher::Seams seams = Patcher::Seams();
        seams.pause = [](uint32_t) { Sleep(1); };
        seams.roamingFolder = [this] { return roaming.path(); };
        const auto realNow = seams.unixNow;
        seams.unixNow = [realNow, clockShift] { return realNow() + clockShift; };
        Patcher p(c, game.path(), seams);
        const std::wstring prefs = game.path();
        p.SetSerialStore({[prefs](const std::string& id) { return LoadListSerial(prefs, id); },
                          [prefs](const std::string& id, int64_t s) { SaveListSerial(prefs, id, s); }});
        return p.Run(cancel, callbacks, repair);
    }
    bool Logged(const std::string& piece) const {
        for (const std::string& line : log.Lines()) {
            if (line.find(piece) != std::string::npos) return true;
        }
        return false;
    }

    test::TempDir source, out, keys, game, roaming;
    test::LogCapture log;
    test::HttpServer m1, m2;
    std::atomic<bool> cancel{false};
};

TEST_F(MirrorTrust, ATamperedObjectOnOneMirrorIsHealedFromTheOther) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key")});
    std::string forged = test::Noise(kBig, 1);
    forged[12345] ^= 0x5A;  // same size, other bytes: only the hash can tell
    m1.Serve("/Data/b.bin.gz", Gzip(forged));
    ASSERT_EQ(Run(key), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"Data\\b.bin") == test::Noise(kBig, 1));
    EXPECT_EQ(m1.CountRequests("/Data/b.bin.gz"), 1);  // refused at once, no retries on that mirror
    EXPECT_EQ(m2.CountRequests("/Data/b.bin.gz"), 1);
}

// With a key, a list signed by another key, an unsigned one and a changed
// one are refused on every mirror and nothing is written.
TEST_F(MirrorTrust, OnlyListsSignedWithTheKeyAreTaken) {
    const std::string ours = Keygen(L"ours");
    Keygen(L"theirs");
    Publish({L"--sign", keys.Join(L"theirs.key")});
    EXPECT_EQ(Run(ours), PatchResult::ListUnverified);
    EXPECT_TRUE(Logged("signature check: does not match the key"));
    Publish({});
    EXPECT_EQ(Run(ours), PatchResult::ListUnverified);
    EXPECT_TRUE(Logged("the list is not signed"));
    Publish({L"--sign", keys.Join(L"ours.key")});
    std::string list = test::Gunzip(out.Read(L"list.txt.gz"));
    list[list.find(" a.txt") - 1] ^= 1;  // the last digit of a.txt's hash
    m1.Serve("/list.txt.gz", Gzip(list));
    m2.Serve("/list.txt.gz", Gzip(list));
    EXPECT_EQ(Run(ours), PatchResult::ListUnverified);
    EXPECT_FALSE(game.Exists(L"a.txt"));
    EXPECT_EQ(m1.CountRequests("/a.txt.gz") + m2.CountRequests("/a.txt.gz"), 0);
    // Without a key the same list patches as it always did.
    EXPECT_EQ(Run(""), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"a.txt"), "alpha");
}

// The highest serial (past 32 bits here) is kept across runs: an equal one
// is a re-fetch, an older one a rollback.
TEST_F(MirrorTrust, AnOlderSerialIsRefusedAcrossRunsAndTheSameOneStillPasses) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key"), L"--serial", L"5000000000"});
    EXPECT_EQ(RunPublish({L"--verify", out.path(), L"--key", Utf8ToWide(key)}), 0);
    ASSERT_EQ(Run(key), PatchResult::Finished);
    ASSERT_EQ(Run(key), PatchResult::Finished);
    source.Write(L"a.txt", "alpha, older");
    Publish({L"--sign", keys.Join(L"k.key"), L"--serial", L"4999999999"});
    EXPECT_EQ(Run(key), PatchResult::ListUnverified);
    EXPECT_TRUE(Logged("serial 4999999999 is older than 5000000000 seen before"));
    EXPECT_EQ(game.Read(L"a.txt"), "alpha");
}

TEST_F(MirrorTrust, AListPastItsExpiryIsRefusedAfterADayOfClockSlack) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key"), L"--expires", L"1"});
    // Expires in one day: half a day past that is within the slack...
    EXPECT_EQ(Run(key, 86400 + 43200), PatchResult::Finished);
    // ...a day and a half past it is not.
    game.Write(L"a.txt", "changed locally");
    EXPECT_EQ(Run(key, 3 * 86400 + 43200), PatchResult::ListUnverified);
    EXPECT_TRUE(Logged("the list expired at"));
    EXPECT_EQ(game.Read(L"a.txt"), "changed locally");
}

TEST_F(MirrorTrust, RepairFindsAndFixesAFileWhoseBytesChangedButNotItsSizeOrTime) {
    const std::string key = Keygen(L"k");
    Publish({L"--sign", keys.Join(L"k.key")});
    ASSERT_EQ(Run(key), PatchResult::Finished);
    const std::wstring b = game.Join(L"Data\\b.bin");
    const int64_t stamped = test::UnixMtime(b);
    std::string damaged = test::Noise(kBig, 1);
    damaged[kBig - 1] ^= 0x01;
    game.Write(L"Data\\b.bin", damaged);
    test::SetUnixMtime(b, stamped);
    ASSERT_EQ(Run(key), PatchResult::Finished);  // a normal pass cannot see it
    EXPECT_TRUE(game.Read(L"Data\\b.bin") == damaged);

    std::vector<std::string> events;
    std::vector<std::vector<double>> progress;
    PatchCallbacks cb;
    cb.phase = [&](const std::string& w) { events.push_back(w); };
    cb.fileCount = [&](int n) { events.push_back("count " + std::to_string(n)); };
    cb.verifyProgress = [&](int done, int total, double mb, double totalMb) {
        progress.push_back({static_cast<double>(done), static_cast<double>(total), mb, totalMb});
    };
    ASSERT_EQ(Run(key, 0, cb, true), PatchResult::Finished);
    EXPECT_EQ(events, (std::vector<std::string>{"checking", "verifying", "count 1", "downloading", "finished"}));
    EXPECT_TRUE(game.Read(L"Data\\b.bin") == test::Noise(kBig, 1));
    EXPECT_EQ(test::UnixMtime(b), stamped);
    const double totalMb = (5 + kBig + 3000) / 1048576.0;
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), (std::vector<double>{0, 3, 0, totalMb}));
    EXPECT_EQ(progress.back(), (std::vector<double>{3, 3, totalMb, totalMb}));
}

// A forged replacement launcher on every mirror is refused and deleted; the
// genuine one, once a mirror serves it, is handed over.
TEST_F(MirrorTrust, ATamperedReplacementLauncherIsNeverHandedOver) {
    const std::string key = Keygen(L"k");
    const std::string genuine = "MZ genuine replacement launcher " + test::Noise(5000, 3);
    test::TempDir launcherDir;
    launcherDir.Write(L"Veltrune.exe", genuine);
    Publish({L"--sign", keys.Join(L"k.key"), L"--launcher", launcherDir.Join(L"Veltrune.exe")}, L"30");
    std::string forged = genuine;
    forged[1] = 'X';
    m1.Serve("/newLauncher.exe.gz", Gzip(forged));
    m2.Serve("/newLauncher.exe.gz", Gzip(forged));
    EXPECT_EQ(Run(key), PatchResult::FileMismatch);
    EXPECT_FALSE(roaming.Exists(L"TrustTest\\newLauncher.exe"));
    m2.Serve("/newLauncher.exe.gz", Gzip(genuine));
    EXPECT_EQ(Run(key), PatchResult::SelfUpdateReady);
    EXPECT_TRUE(roaming.Read(L"TrustTest\\newLauncher.exe") == genuine);
}

}  // namespace
}  // namespace vr

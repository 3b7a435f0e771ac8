// A game folder published (and signed) by veltrune-publish, its Windows
// build run as a child process, served by loopback mirrors, some of them
// tampered with, and patched by the launcher's own code.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "game/serial_store.h"
#include "patcher/patcher.h"
#include "platform/handles.h"
#include "platform/launcher_config.h"
#include "support/file_times.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "text/text.h"

namespace vr {
namespace {

using test::Gzip;
using test::Noise;

// Large enough for the download to hash on its helper thread.
constexpr size_t kBig = (5u << 20) + 123;

class RoundTrip : public ::testing::Test {
protected:
    // Runs the tool, its standard output into keys\\stdout.txt, for at most
    // two minutes; returns its exit code.
    int RunPublish(const std::vector<std::wstring>& args) {
        std::wstring cmd = L"\"Z:" + Utf8ToWide(VR_PUBLISH_EXE) + L"\"";  // Wine maps the Unix root to Z:
        std::replace(cmd.begin(), cmd.end(), L'/', L'\\');
        for (const std::wstring& a : args) cmd += L" \"" + a + L"\"";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const KernelHandle printed(
            CreateFileW(keys.Join(L"stdout.txt").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = printed.get();
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        ProcessHandles child;
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &child.info))
            return -1;
        const HANDLE process = child.info.hProcess;
        DWORD code = 9999;
        if (WaitForSingleObject(process, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
        else TerminateProcess(process, 9999);
        return static_cast<int>(code);
    }
    RoundTrip() {
        int64_t when = 1500000000;
        for (const auto& [rel, bytes] : files) {
            source.Write(rel, bytes);
            test::SetUnixMtime(source.Join(rel), when += 86400 + 7);
        }
        source.MakeDir(L"Empty Folder\\Inside");
    }
    // Publishes and serves on both mirrors.
    void Publish(const std::vector<std::wstring>& extra, const wchar_t* version = L"29") {
        std::vector<std::wstring> args = {L"--game", source.path(), L"--out", out.path(), L"--version", version};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(RunPublish(args), 0);
        ServeTree(L"");
    }
    // Publishes signed with a fresh key; returns the public line keygen prints.
    std::string Signed(std::vector<std::wstring> extra = {}, const wchar_t* version = L"29") {
        EXPECT_EQ(RunPublish({L"keygen", L"--out", keys.Join(L"k.key")}), 0);
        const std::string pub = keys.Read(L"stdout.txt");
        extra.insert(extra.end(), {L"--sign", keys.Join(L"k.key")});
        Publish(extra, version);
        return pub.substr(0, pub.find_first_of("\r\n"));
    }
    // Serials live in the game folder and in a local folder of the player, as the bridge wires them.
    PatchResult Run(const std::string& key, int64_t clockShift = 0, const PatchCallbacks& callbacks = {},
                    bool repair = false) {
        LauncherConfig c;
        c.mirrors = {m1.WUrl(), m2.WUrl()};
        c.serverUrl = m1.WUrl();
        c.listFile = L"list.txt";
        c.newLauncher = L"newLauncher.exe";
        c.patchVersion = 29;
        c.appDataFolderName = L"TrustTest";
        c.listKey = Utf8ToWide(key);
        c.listMinSerial = minSerial;
        Patcher::Seams seams;
        seams.pause = [](uint32_t) { Sleep(1); };
        seams.roamingFolder = [this] { return roaming.path(); };
        seams.unixNow = [realNow = seams.unixNow, clockShift] { return realNow() + clockShift; };
        // m2 answers its probe last, so a pass starts on m1.
        seams.probeLatency = [m2 = m2.WUrl()](const std::wstring& s, int64_t ms) { return s == m2 ? 60000 : ms; };
        Patcher p(c, game.path(), seams);
        const std::wstring prefs = game.path(), kept = local.Join(L"Quorvane");
        p.SetSerialStore({[prefs, kept](const std::string& id) { return LoadKeptSerial(prefs, kept, id); },
                          [prefs, kept](const std::string& id, int64_t s) { SaveKeptSerial(prefs, kept, id, s); }});
        return p.Run(cancel, callbacks, repair);
    }
    // Every object under out\\<folder>, served where the launcher asks for it.
    void ServeTree(const std::wstring& folder) {
        WIN32_FIND_DATAW found;
        const FindHandle h(FindFirstFileW(out.Join(folder.empty() ? L"*" : folder + L"\\*").c_str(), &found));
        if (!h) return;
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring rel = folder.empty() ? name : folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                ServeTree(rel);
                continue;
            }
            std::string path = WideToUtf8(rel);
            std::replace(path.begin(), path.end(), '\\', '/');
            for (test::HttpServer* m : {&m1, &m2}) m->Serve("/" + PercentEncode(path), out.Read(rel));
        } while (FindNextFileW(h.get(), &found));
    }

    const std::map<std::wstring, std::string> files = {
        {L"a.txt", "alpha"},
        {L"Data\\b.bin", Noise(kBig, 1)},
        {L"Data\\Ünïcödé ñame.bin", "umlauts"},
        {L"Data\\日本語\\ファイル.txt", "kana"},
        {L"Data\\ leading blank.txt", "lead"},
        {L"Data\\Sub Folder\\two  blanks.txt", "two"},
        {L"Data\\Sub Folder\\deeper\\empty", ""},
        {L"#hash%percent+plus.txt", "signs"},
    };
    test::TempDir source, out, keys, game, roaming, local;
    int64_t minSerial = 0;
    test::LogCapture log;
    test::HttpServer m1, m2;
    std::atomic<bool> cancel{false};
};

// An object tampered with on one mirror is refused there at once and
// fetched from the other. Later passes go by size and time; a repair hashes
// every file and fetches the ones that differ, keeping the listed time.
TEST_F(RoundTrip, PublishedTreeArrivesIdenticalStaysCurrentAndIsRepaired) {
    const std::string key = Signed();
    std::string forged = Noise(kBig, 1);
    forged[12345] ^= 0x5A;  // same size, other bytes: only the hash can tell
    m1.Serve("/Data/b.bin.gz", Gzip(forged));
    ASSERT_EQ(Run(key), PatchResult::Finished);
    EXPECT_EQ(m1.CountRequests("/Data/b.bin.gz"), 1);
    EXPECT_EQ(m2.CountRequests("/Data/b.bin.gz"), 1);
    for (const auto& [rel, bytes] : files) {
        EXPECT_TRUE(game.Read(rel) == bytes) << WideToUtf8(rel);
        EXPECT_EQ(test::UnixMtime(game.Join(rel)), test::UnixMtime(source.Join(rel))) << WideToUtf8(rel);
    }
    EXPECT_TRUE(game.Exists(L"Empty Folder\\Inside"));
    const std::wstring b = game.Join(L"Data\\b.bin");
    const int64_t stamped = test::UnixMtime(b);
    game.Write(L"Data\\b.bin", Noise(kBig - 1, 1) + "?");
    test::SetUnixMtime(b, stamped);
    m1.ClearRequests();
    ASSERT_EQ(Run(key), PatchResult::Finished);  // a normal pass cannot see it
    for (const auto& r : m1.Requests()) EXPECT_TRUE(r.path == "/list.txt.gz" || r.path == "/list.txt.fresh") << r.path;
    EXPECT_EQ(game.Read(L"Data\\b.bin").back(), '?');
    std::vector<std::string> phases;
    PatchCallbacks cb;
    cb.phase = [&](const std::string& w) { phases.push_back(w); };
    ASSERT_EQ(Run(key, 0, cb, true), PatchResult::Finished);
    EXPECT_EQ(phases, (std::vector<std::string>{"checking", "verifying", "downloading", "finished"}));
    EXPECT_TRUE(game.Read(L"Data\\b.bin") == Noise(kBig, 1));
    EXPECT_EQ(test::UnixMtime(b), stamped);
}

// With a key, a changed or unsigned list is refused on every mirror and
// nothing is written; of genuine lists the newest on offer is used, and a
// fast mirror frozen on an older one gets nothing.
TEST_F(RoundTrip, OnlyTheNewestListSignedWithTheKeyIsTaken) {
    const std::string ours = Signed();
    EXPECT_EQ(RunPublish({L"--verify", out.path(), L"--key", Utf8ToWide(ours)}), 0);
    const std::string oldList = out.Read(L"list.txt.gz"), oldFresh = out.Read(L"list.txt.fresh");
    std::string list = test::Gunzip(oldList);
    list[list.find(" a.txt") - 1] ^= 1;  // the last digit of a.txt's hash
    for (test::HttpServer* m : {&m1, &m2}) m->Serve("/list.txt.gz", Gzip(list));
    EXPECT_EQ(Run(ours), PatchResult::ListUnverified);
    EXPECT_EQ(m1.CountRequests("/a.txt.gz") + m2.CountRequests("/a.txt.gz"), 0);
    Publish({});
    EXPECT_EQ(Run(ours), PatchResult::ListUnverified);
    EXPECT_FALSE(game.Exists(L"a.txt"));
    EXPECT_EQ(Run(""), PatchResult::Finished);  // without a key, as it always did

    source.Write(L"a.txt", "alpha, second build");
    Publish({L"--sign", keys.Join(L"k.key")});
    m1.Serve("/list.txt.gz", oldList);
    m1.Serve("/list.txt.fresh", oldFresh);
    m1.ClearRequests();
    ASSERT_EQ(Run(ours), PatchResult::Finished);
    EXPECT_EQ(game.Read(L"a.txt"), "alpha, second build");
    EXPECT_EQ(m1.CountRequests("/list.txt.gz") + m1.CountRequests("/a.txt.gz"), 0);
    EXPECT_LT(0, log.Count("older than"));
}

// The highest serial seen, 18 digits included, is kept in the game folder
// and the player's local folder, so a fresh install or an unwritable game
// folder still refuses an older one; with nothing seen, the operator's
// floor does. A list is taken until a day past its expiry, for players
// whose clock is wrong.
TEST_F(RoundTrip, OlderSerialsAndExpiredListsAreRefused) {
    const std::string key = Signed({L"--serial", L"999999999999999998", L"--expires", L"1"});
    ASSERT_EQ(Run(key), PatchResult::Finished);
    EXPECT_EQ(Run(key, 86400 + 43200), PatchResult::Finished);
    game.Write(L"a.txt", "changed locally");
    EXPECT_EQ(Run(key, 3 * 86400 + 43200), PatchResult::ListExpired);  // the player's clock is the suspect
    EXPECT_LT(0, log.Count("the list expired at"));
    EXPECT_EQ(game.Read(L"a.txt"), "changed locally");
    Publish({L"--sign", keys.Join(L"k.key"), L"--serial", L"999999999999999997"});
    EXPECT_EQ(Run(key), PatchResult::ListUnverified);
    EXPECT_LT(0, log.Count("serial 999999999999999997 is older than 999999999999999998 seen before"));

    DeleteFileW(game.Join(L"PatcherSettings.ini").c_str());
    game.MakeDir(L"PatcherSettings.ini");  // a folder where the file goes: it cannot be written
    Publish({L"--sign", keys.Join(L"k.key"), L"--serial", L"999999999999999999"});
    ASSERT_EQ(Run(key), PatchResult::Finished);
    EXPECT_LT(0, log.Count("Patcher: could not remember list serial 999999999999999999 in " +
                           WideToUtf8(game.Join(L"PatcherSettings.ini"))));
    Publish({L"--sign", keys.Join(L"k.key"), L"--serial", L"999999999999999998"});
    EXPECT_EQ(Run(key), PatchResult::ListUnverified);
    EXPECT_LT(0, log.Count("serial 999999999999999998 is older than 999999999999999999 seen before"));

    DeleteFileW(local.Join(L"Quorvane\\PatcherSettings.ini").c_str());  // nothing remembered anywhere
    minSerial = 999999999999999999;
    EXPECT_EQ(Run(key), PatchResult::ListUnverified);
    EXPECT_LT(0, log.Count("serial 999999999999999998 is below listMinSerial 999999999999999999"));
    minSerial = 999999999999999998;
    EXPECT_EQ(Run(key, 31 * 86400 + 1), PatchResult::ListExpired);  // --sign alone gave it a month
    EXPECT_EQ(Run(key), PatchResult::Finished);
}

// Under a key a list may not lead back to an older launcher build, and a
// forged replacement is refused and deleted; the genuine one, once a mirror
// serves it, is handed over.
TEST_F(RoundTrip, OnlyAGenuineNewerLauncherIsHandedOver) {
    const std::string genuine = "MZ genuine replacement launcher " + Noise(5000, 3);
    keys.Write(L"Veltrune.exe", genuine);
    const std::string key = Signed({L"--launcher", keys.Join(L"Veltrune.exe")}, L"28");
    EXPECT_EQ(Run(key), PatchResult::ListUnverified);
    EXPECT_LT(0, log.Count("it names launcher build 28, older than this build 29"));
    EXPECT_FALSE(roaming.Exists(L"TrustTest\\newLauncher.exe"));
    Publish({L"--sign", keys.Join(L"k.key"), L"--launcher", keys.Join(L"Veltrune.exe")}, L"30");
    for (test::HttpServer* m : {&m1, &m2}) m->Serve("/newLauncher.exe.gz", Gzip("MX" + genuine.substr(2)));
    EXPECT_EQ(Run(key), PatchResult::FileMismatch);
    EXPECT_FALSE(roaming.Exists(L"TrustTest\\newLauncher.exe"));
    m2.Serve("/newLauncher.exe.gz", Gzip(genuine));
    EXPECT_EQ(Run(key), PatchResult::SelfUpdateReady);
    EXPECT_TRUE(roaming.Read(L"TrustTest\\newLauncher.exe") == genuine);
}

// A file past the chunk threshold: its next version costs the chunks around
// the change, fetched as a range of the whole object, which stays a plain
// gzip member, so a launcher that skips the "#chunks" line (as every earlier
// one does) patches from the same folder.
TEST_F(RoundTrip, ALargeFileUpdatesInChunksAndStaysPatchableWhole) {
    const std::string v1 = test::GameLikeContent((17u << 20) + 5, 5);
    std::string v2 = v1;
    v2.insert(1u << 20, "an insertion that shifts every byte after it");
    const auto publishVersion = [&](const std::string& bytes, int64_t mtime) {
        source.Write(L"Data\\big.pak", bytes);
        test::SetUnixMtime(source.Join(L"Data\\big.pak"), mtime);
        Publish({});
    };
    // Requests of the whole object: ranges of it, and whole reads.
    const auto wholeRequests = [this](bool ranged) {
        int n = 0;
        for (const test::HttpServer* m : {&m1, &m2}) {
            for (const auto& r : m->Requests())
                n += r.method == "GET" && r.path == "/Data/big.pak.gz" && r.Header("Range").empty() != ranged;
        }
        return n;
    };
    publishVersion(v1, 1600000000);
    ASSERT_EQ(Run(""), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"Data\\big.pak") == v1);

    publishVersion(v2, 1600000100);
    m1.ClearRequests();
    m2.ClearRequests();
    ASSERT_EQ(Run(""), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"Data\\big.pak") == v2);
    EXPECT_EQ(test::UnixMtime(game.Join(L"Data\\big.pak")), 1600000100);
    // The run of chunks around the insertion, as one range of the whole object.
    EXPECT_EQ(wholeRequests(true), 1);
    EXPECT_EQ(wholeRequests(false), 0);

    std::string list = test::Gunzip(out.Read(L"list.txt.gz"));
    for (size_t at; (at = list.find("#chunks ")) != std::string::npos;) list.erase(at, list.find('\n', at) + 1 - at);
    for (test::HttpServer* m : {&m1, &m2}) {
        m->Serve("/list.txt.gz", Gzip(list));
        m->Remove("/list.txt.fresh");  // a hand-made list: the tool's object would not name it
    }
    game.Write(L"Data\\big.pak", v1);
    ASSERT_EQ(Run(""), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"Data\\big.pak") == v2);
    EXPECT_EQ(wholeRequests(false), 1);
}

}  // namespace
}  // namespace vr

#include "game/client_launcher.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fakes/fake_process/fake_record.h"
#include "support/fake_process_path.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using test::FakeProcessExe;
using test::FakeStart;
using test::LogCapture;
using test::ReadFakeStarts;
using test::ScopedEnv;
using test::TempDir;

// Whether this process still holds a handle to process `pid` or one of its
// threads. Wine's GetProcessHandleCount is a stub and its WaitForInputIdle
// keeps a handle of its own per call, so the handle table is searched for
// handles that point at the child instead of being counted.
bool HoldsHandleTo(DWORD pid) {
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) {
        ADD_FAILURE() << "NtQuerySystemInformation missing";
        return true;
    }
    std::vector<BYTE> buffer(1 << 16);
    for (int attempt = 0; attempt < 16; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) break;
        const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
        const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
        for (ULONG i = 0; i < count; ++i) {
            if (entries[i].ownerPid != GetCurrentProcessId()) continue;
            const HANDLE h = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(entries[i].value));
            if (GetProcessId(h) == pid || GetProcessIdOfThread(h) == pid) return true;
        }
        return false;
    }
    ADD_FAILURE() << "handle table not readable";
    return true;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A launcher folder holding the stand-in under the configured names. The
// started fakes stay alive (so WaitForInputIdle sees a real message loop)
// until the fixture lets them go.
class LaunchTest : public ::testing::Test {
protected:
    LaunchTest()
        : record(dir.Join(L"starts.txt")),
          exitFlag(dir.Join(L"exit.flag")),
          recordEnv(L"VR_FAKE_RECORD", record),
          exitEnv(L"VR_FAKE_EXIT_FILE", exitFlag),
          maxEnv(L"VR_FAKE_MAX_MS", L"30000") {
        EXPECT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"quorvane.exe").c_str(), FALSE));
        EXPECT_TRUE(CopyFileW(FakeProcessExe().c_str(), dir.Join(L"updater.exe").c_str(), FALSE));
    }

    ~LaunchTest() override {
        dir.Write(L"exit.flag", "");
        for (const FakeStart& start : ReadFakeStarts(record)) {
            HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, start.pid);
            if (process) {
                WaitForSingleObject(process, 15000);
                CloseHandle(process);
            }
        }
    }

    // No real waits unless a test asks for them; the pauses are recorded.
    ClientLauncher Launcher(const std::wstring& exeDir, std::function<void(uint32_t)> pause = nullptr) {
        ClientLauncher::Seams seams;
        seams.pause = pause ? std::move(pause) : [this](uint32_t ms) { pauses.push_back(ms); };
        return ClientLauncher(config, exeDir, seams);
    }

    // The updater is not waited for, so its record may trail the call; a
    // client's may too when a loaded machine keeps it from getting idle
    // within the launcher's wait (only the idle test below relies on it).
    std::vector<FakeStart> WaitForStarts(size_t count) {
        for (int i = 0; i < 200; ++i) {
            std::vector<FakeStart> starts = ReadFakeStarts(record);
            if (starts.size() >= count) return starts;
            Sleep(50);
        }
        return ReadFakeStarts(record);
    }

    LogCapture log;
    TempDir dir;
    std::wstring record;
    std::wstring exitFlag;
    ScopedEnv recordEnv;
    ScopedEnv exitEnv;
    ScopedEnv maxEnv;
    LauncherConfig config;
    std::vector<uint32_t> pauses;
};

TEST_F(LaunchTest, CountBelowOneStartsOneClient) {
    ClientLauncher launcher = Launcher(dir.path());
    EXPECT_EQ(launcher.LaunchClients(0), 1);
    EXPECT_EQ(WaitForStarts(1).size(), 1u);
    EXPECT_EQ(launcher.LaunchClients(-3), 1);
    EXPECT_EQ(WaitForStarts(2).size(), 2u);
    EXPECT_TRUE(pauses.empty());
    const auto lines = log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "GameLaunch: started 1/1 client(s)"), 2);
}

TEST_F(LaunchTest, ClientGetsQuotedPathSpaceSaltAndLauncherFolder) {
    const std::wstring exe = dir.path() + L"\\quorvane.exe";

    Launcher(dir.path()).LaunchClients(1);
    // A folder given with its trailing backslash must not double it.
    Launcher(dir.path() + L"\\").LaunchClients(1);
    config.startupSalt = L"";
    Launcher(dir.path()).LaunchClients(1);
    config.startupSalt = L"a \"b\" -c";
    Launcher(dir.path()).LaunchClients(1);

    const auto starts = WaitForStarts(4);
    ASSERT_EQ(starts.size(), 4u);
    EXPECT_EQ(starts[0].commandLine, L"\"" + exe + L"\" lumaris");
    EXPECT_EQ(starts[1].commandLine, L"\"" + exe + L"\" lumaris");
    EXPECT_EQ(starts[2].commandLine, L"\"" + exe + L"\" ");  // the space stays
    EXPECT_EQ(starts[3].commandLine, L"\"" + exe + L"\" a \"b\" -c");
    for (const FakeStart& start : starts) {
        EXPECT_EQ(start.cwd, dir.path());
        EXPECT_EQ(start.flags & STARTF_USESHOWWINDOW, 0u);  // clients show normally
    }
}

TEST_F(LaunchTest, EmptyLauncherFolderStartsFromTheCurrentFolder) {
    // Not reachable from the real launcher (its folder is never empty), but an
    // empty working folder must not make every start fail.
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    const int started = Launcher(L"").LaunchClients(1);
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(started, 1);
    const auto starts = WaitForStarts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].commandLine, L"\"quorvane.exe\" lumaris");
    EXPECT_EQ(starts[0].cwd, dir.path());
}

TEST_F(LaunchTest, EachClientIsAwaitedUntilIdleAndNoHandleIsKept) {
    // The client is slow to reach its message loop; its record is written just
    // before, so it is there when the launch returns only if idle was awaited.
    ScopedEnv slow(L"VR_FAKE_IDLE_DELAY_MS", L"1000");
    // Closed right after the wait, not kept through the pause.
    bool heldDuringPause = true;
    ClientLauncher launcher = Launcher(dir.path(), [&](uint32_t) {
        const auto sofar = ReadFakeStarts(record);
        heldDuringPause = sofar.size() != 1 || HoldsHandleTo(sofar[0].pid);
    });
    EXPECT_EQ(launcher.LaunchClients(2), 2);
    EXPECT_FALSE(heldDuringPause);
    const auto starts = ReadFakeStarts(record);
    ASSERT_EQ(starts.size(), 2u);
    for (const FakeStart& start : starts) EXPECT_FALSE(HoldsHandleTo(start.pid));

    // The search itself works: a handle kept on purpose is found.
    HANDLE kept = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, starts[0].pid);
    ASSERT_NE(kept, nullptr);
    EXPECT_TRUE(HoldsHandleTo(starts[0].pid));
    CloseHandle(kept);
}

TEST_F(LaunchTest, SeveralClientsArePausedBetweenButNotAfterTheLast) {
    EXPECT_EQ(Launcher(dir.path()).LaunchClients(3), 3);
    const auto starts = WaitForStarts(3);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_NE(starts[0].pid, starts[1].pid);
    EXPECT_NE(starts[1].pid, starts[2].pid);
    EXPECT_EQ(pauses, (std::vector<uint32_t>{2500, 2500}));
    EXPECT_TRUE(Contains(log.Lines(), "GameLaunch: started 3/3 client(s)"));
}

TEST_F(LaunchTest, TwoClientsStartAtLeastTheSpacingApartInRealTime) {
    ClientLauncher launcher(config, dir.path());  // the shipped pause
    const ULONGLONG begin = GetTickCount64();
    EXPECT_EQ(launcher.LaunchClients(2), 2);
    const ULONGLONG elapsed = GetTickCount64() - begin;
    const auto starts = ReadFakeStarts(record);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_GE(elapsed, 2500u);
    // The second client cannot start before the first one was idle plus the
    // pause; a little slack for clock granularity between processes.
    EXPECT_GE(starts[1].timeMs, starts[0].timeMs + 2450);
}

TEST_F(LaunchTest, FailedStartStopsTheLoopAndIsLoggedBeforeTheSummary) {
    // The executable vanishes after the first client, so the second start fails.
    ClientLauncher launcher = Launcher(dir.path(), [this](uint32_t ms) {
        pauses.push_back(ms);
        MoveFileW(dir.Join(L"quorvane.exe").c_str(), dir.Join(L"moved.exe").c_str());
    });
    EXPECT_EQ(launcher.LaunchClients(3), 1);
    EXPECT_EQ(ReadFakeStarts(record).size(), 1u);
    EXPECT_EQ(pauses.size(), 1u);  // no third attempt, no pause after the failure

    const auto lines = log.Lines();
    const auto failed = std::find(lines.begin(), lines.end(), "GameLaunch: CreateProcess failed (err 2)");
    const auto summary = std::find(lines.begin(), lines.end(), "GameLaunch: started 1/3 client(s)");
    ASSERT_NE(failed, lines.end());
    ASSERT_NE(summary, lines.end());
    EXPECT_LT(failed, summary);
}

TEST_F(LaunchTest, AllowListMatchesWholeNamesIgnoringCase) {
    // Real executables under the refused names, so a lax check would start them.
    dir.MakeDir(L"bin");
    CopyFileW(FakeProcessExe().c_str(), dir.Join(L"bin\\quorvane.exe").c_str(), FALSE);
    CopyFileW(FakeProcessExe().c_str(), dir.Join(L"game.exe").c_str(), FALSE);

    config.gameExe = L"bin\\quorvane.exe";
    EXPECT_EQ(Launcher(dir.path()).LaunchClients(1), 0);
    config.gameExe = L"game.exe";
    EXPECT_EQ(Launcher(dir.path()).LaunchClients(1), 0);
    config.gameExe = L"quorvane.exe.exe";
    EXPECT_EQ(Launcher(dir.path()).LaunchClients(1), 0);
    config.updaterExe = L"game.exe";
    EXPECT_FALSE(Launcher(dir.path()).StartUpdater(dir.Join(L"new.exe")));
    Sleep(300);  // an updater would not be waited for; give a wrong one time to show
    EXPECT_TRUE(ReadFakeStarts(record).empty());

    auto lines = log.Lines();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "GameLaunch: blocked non-whitelisted executable 'bin\\quorvane.exe'",
                         "GameLaunch: blocked non-whitelisted executable 'game.exe'",
                         "GameLaunch: blocked non-whitelisted executable 'quorvane.exe.exe'",
                         "GameLaunch: blocked non-whitelisted executable 'game.exe'",
                     }));

    config.gameExe = L"QUORVANE.EXE";
    EXPECT_EQ(Launcher(dir.path()).LaunchClients(1), 1);
    EXPECT_EQ(WaitForStarts(1).size(), 1u);
    const ClientLauncher launcher = Launcher(dir.path());
    EXPECT_TRUE(launcher.IsAllowedExecutable(L"Explorer.Exe"));
    EXPECT_TRUE(launcher.IsAllowedExecutable(L"UPDATER.exe"));
    EXPECT_FALSE(launcher.IsAllowedExecutable(L""));
    EXPECT_FALSE(launcher.IsAllowedExecutable(L"quorvane"));
}

TEST_F(LaunchTest, UpdaterGetsFourPartCommandLineAndStartsHidden) {
    wchar_t module[520];
    GetModuleFileNameW(nullptr, module, 520);
    wchar_t roaming[MAX_PATH];
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, roaming)));
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());

    // Where the self-update pass puts the replacement with the platform's
    // roaming folder.
    ClientLauncher launcher(config, dir.path());
    EXPECT_TRUE(launcher.StartUpdater(std::wstring(roaming) + L"\\Quorvane\\newLauncher.exe"));
    const auto starts = WaitForStarts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].commandLine, L"\"" + dir.path() + L"\\updater.exe\" \"" + module + L"\" \"" + roaming +
                                         L"\\Quorvane\\newLauncher.exe\" " + pid);
    EXPECT_EQ(starts[0].cwd, dir.path());
    EXPECT_NE(starts[0].flags & STARTF_USESHOWWINDOW, 0u);
    EXPECT_EQ(starts[0].show, static_cast<unsigned long>(SW_HIDE));
    EXPECT_FALSE(HoldsHandleTo(starts[0].pid));
}

TEST_F(LaunchTest, UpdaterWithoutReplacementPathGetsEmptyQuotesThenProcessId) {
    wchar_t module[520];
    GetModuleFileNameW(nullptr, module, 520);
    ClientLauncher launcher(config, dir.path() + L"\\");
    EXPECT_TRUE(launcher.StartUpdater(L""));
    const auto starts = WaitForStarts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].commandLine, L"\"" + dir.path() + L"\\updater.exe\" \"" + module + L"\" \"\" " +
                                         std::to_wstring(GetCurrentProcessId()));
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(LaunchTest, UpdaterThatCannotStartIsLogged) {
    DeleteFileW(dir.Join(L"updater.exe").c_str());
    EXPECT_FALSE(ClientLauncher(config, dir.path()).StartUpdater(dir.Join(L"new.exe")));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"GameLaunch: updater start failed (err 2)"}));
}

TEST(WebLinkTest, OnlyLowerCaseWebSchemesReachTheShell) {
    LogCapture log;
    std::vector<std::wstring> opened;
    ClientLauncher::Seams seams;
    seams.shellOpen = [&](const std::wstring& url) { opened.push_back(url); };
    ClientLauncher launcher(LauncherConfig{}, L"C:\\Games", seams);

    for (const wchar_t* url :
         {L"https://discord.gg/veltrune", L"http://www.veltrune.example/wiki.php", L"http://",
          L"HTTPS://www.veltrune.example/", L"Http://www.veltrune.example/", L"file:///C:/Windows/notepad.exe",
          L"C:\\Windows\\notepad.exe", L"http:/", L"https:", L" https://leading.blank/", L"javascript:alert(1)", L""}) {
        launcher.OpenWebLink(url);
    }
    EXPECT_EQ(opened, (std::vector<std::wstring>{L"https://discord.gg/veltrune",
                                                 L"http://www.veltrune.example/wiki.php", L"http://"}));
    const auto lines = log.Lines();
    EXPECT_EQ(lines.size(), 9u);
    EXPECT_TRUE(std::all_of(lines.begin(), lines.end(),
                            [](const std::string& l) { return l == "GameLaunch: refused non-web url"; }));
}

}  // namespace
}  // namespace vr

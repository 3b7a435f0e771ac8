#include "game/client_launcher.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "fakes/fake_process/fake_record.h"
#include "support/fake_process_path.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {
namespace {

using test::FakeStart;
using test::ReadFakeStarts;
using test::ScopedEnv;

// Handles open to process `pid` anywhere, less this call's own (Wine stubs GetProcessHandleCount).
ULONG HandlesTo(DWORD pid) {
    using QueryFn = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    PUBLIC_OBJECT_BASIC_INFORMATION info{};
    const HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    EXPECT_EQ(query(h, ObjectBasicInformation, &info, sizeof info, nullptr), 0);
    CloseHandle(h);
    return info.HandleCount - 1;
}

// The stand-in under the configured names; it pumps messages (real input-idle) until the end.
class LaunchTest : public ::testing::Test {
protected:
    LaunchTest() {
        for (const wchar_t* name : {L"quorvane.exe", L"updater.exe"}) {
            EXPECT_TRUE(CopyFileW(test::FakeProcessExe().c_str(), dir.Join(name).c_str(), FALSE));
        }
    }
    ~LaunchTest() override {
        dir.Write(L"exit.flag", "");
        for (const FakeStart& start : ReadFakeStarts(record)) {
            if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, start.pid)) {
                WaitForSingleObject(process, 15000);
                CloseHandle(process);
            }
        }
    }
    // Pauses are recorded, not slept.
    ClientLauncher Launcher(const std::wstring& exeDir, std::function<void(uint32_t)> pause = nullptr) {
        ClientLauncher::Seams seams;
        seams.pause = pause ? std::move(pause) : [this](uint32_t ms) { pauses.push_back(ms); };
        return ClientLauncher(config, exeDir, seams);
    }
    // A record may trail the call: the updater is not awaited, a busy client idles late.
    std::vector<FakeStart> WaitForStarts(size_t count) {
        for (int i = 0; i < 200 && ReadFakeStarts(record).size() < count; ++i) Sleep(50);
        return ReadFakeStarts(record);
    }

    test::LogCapture log;
    test::TempDir dir;
    std::wstring record = dir.Join(L"starts.txt");
    ScopedEnv recordEnv{L"VR_FAKE_RECORD", record};
    ScopedEnv exitEnv{L"VR_FAKE_EXIT_FILE", dir.Join(L"exit.flag")};
    ScopedEnv maxEnv{L"VR_FAKE_MAX_MS", L"30000"};
    LauncherConfig config;
    std::vector<uint32_t> pauses;
};

TEST_F(LaunchTest, ClientsGetQuotedPathAndSaltAndArePausedBetweenButNotAfterTheLast) {
    EXPECT_EQ(Launcher(dir.path()).LaunchClients(0), 1);
    config.startupSalt = L"a \"b\" -c";
    config.gameExe = L"QUORVANE.EXE";  // the allow-list ignores case
    EXPECT_EQ(Launcher(dir.path() + L"\\").LaunchClients(3), 3);
    EXPECT_EQ(pauses, (std::vector<uint32_t>{2500, 2500}));

    const auto starts = WaitForStarts(4);
    ASSERT_EQ(starts.size(), 4u);
    EXPECT_EQ(starts[0].commandLine, L"\"" + dir.path() + L"\\quorvane.exe\" lumaris");
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(starts[i].commandLine, L"\"" + dir.path() + L"\\QUORVANE.EXE\" a \"b\" -c");
    for (const FakeStart& start : starts) {
        EXPECT_EQ(start.cwd, dir.path());
        EXPECT_EQ(start.flags & STARTF_USESHOWWINDOW, 0u);  // clients show normally
    }

    // The executable vanishes after the next client, so the start after it fails.
    ClientLauncher vanishing = Launcher(
        dir.path(), [this](uint32_t) { MoveFileW(dir.Join(L"quorvane.exe").c_str(), dir.Join(L"moved.exe").c_str()); });
    EXPECT_EQ(vanishing.LaunchClients(3), 1);
    EXPECT_TRUE(log.Has("GameLaunch: CreateProcess failed (err 2)"));
    EXPECT_EQ(log.Lines().back(), "GameLaunch: started 1/3 client(s)");
}

TEST_F(LaunchTest, EachClientIsAwaitedUntilIdleAndItsHandlesClosedBeforeThePause) {
    // The slow client writes its record just before getting idle.
    ScopedEnv slow(L"VR_FAKE_IDLE_DELAY_MS", L"1000");
    bool heldDuringPause = true;
    ClientLauncher launcher = Launcher(dir.path(), [&](uint32_t) {
        const auto sofar = ReadFakeStarts(record);
        heldDuringPause = sofar.size() != 1 || HandlesTo(sofar[0].pid) != 0;
    });
    EXPECT_EQ(launcher.LaunchClients(2), 2);
    EXPECT_FALSE(heldDuringPause);
    const auto starts = ReadFakeStarts(record);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(HandlesTo(starts[1].pid), 0u);
    HANDLE kept = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, starts[0].pid);
    EXPECT_EQ(HandlesTo(starts[0].pid), 1u);  // the count sees a kept handle
    CloseHandle(kept);
}

TEST_F(LaunchTest, OnlyWholeAllowListedNamesStart) {
    // A real executable under a refused name, so a lax check would start it.
    CopyFileW(test::FakeProcessExe().c_str(), dir.Join(L"game.exe").c_str(), FALSE);
    config.gameExe = config.updaterExe = L"game.exe";
    EXPECT_EQ(Launcher(dir.path()).LaunchClients(1), 0);
    EXPECT_FALSE(Launcher(dir.path()).StartUpdater(L""));
    for (const wchar_t* name : {L"bin\\quorvane.exe", L"quorvane.exe.exe", L"quorvane", L""}) {
        EXPECT_FALSE(Launcher(dir.path()).IsAllowedExecutable(name)) << WideToUtf8(name);
    }
}

TEST_F(LaunchTest, UpdaterGetsFourQuotedParts) {
    wchar_t module[520];
    GetModuleFileNameW(nullptr, module, 520);
    const std::wstring head = L"\"" + dir.path() + L"\\updater.exe\" \"" + module + L"\" ";
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    EXPECT_TRUE(Launcher(dir.path()).StartUpdater(dir.Join(L"new dir\\newLauncher.exe")));
    WaitForStarts(1);  // keeps the records in order
    EXPECT_TRUE(Launcher(dir.path()).StartUpdater(L""));
    const auto starts = WaitForStarts(2);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].commandLine, head + L"\"" + dir.Join(L"new dir\\newLauncher.exe") + L"\" " + pid);
    EXPECT_EQ(starts[1].commandLine, head + L"\"\" " + pid);
    EXPECT_EQ(starts[1].cwd, dir.path());  // hidden start and folder otherwise: the self-update end-to-end run
    EXPECT_EQ(HandlesTo(starts[0].pid), 0u);

    dir.MakeDir(L"empty");
    EXPECT_FALSE(Launcher(dir.Join(L"empty")).StartUpdater(L""));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"GameLaunch: updater start failed (err 2)"});
}

TEST(WebLinkTest, OnlyLowerCaseWebSchemesReachTheShell) {
    test::LogCapture log;
    std::vector<std::wstring> opened;
    ClientLauncher::Seams seams;
    seams.shellOpen = [&](const std::wstring& url) { opened.push_back(url); };
    ClientLauncher launcher(LauncherConfig{}, L"C:\\Games", seams);
    for (const wchar_t* url : {L"https://discord.gg/veltrune", L"http://", L"HTTPS://x.example/", L"httpx://x",
                               L"http-evil:x", L"file:///C:/Windows/notepad.exe", L"https:", L" https://x/", L""}) {
        launcher.OpenWebLink(url);
    }
    EXPECT_EQ(opened, (std::vector<std::wstring>{L"https://discord.gg/veltrune", L"http://"}));
    EXPECT_EQ(log.Lines().size(), 7u);
}

}  // namespace
}  // namespace vr

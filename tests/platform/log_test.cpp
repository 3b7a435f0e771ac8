// The process-wide log through the real file and debugger channel; each test logs to its own folder.
#include "platform/log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vr {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// OutputDebugStringW raises DBG_PRINTEXCEPTION_C with ANSI text (Wine 8's only one); a handler records it.
std::mutex g_debugLock;
Lines g_debugLines;
LONG CALLBACK RecordDebugText(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& r = *info->ExceptionRecord;
    if (r.ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_C) && r.NumberParameters >= 2) {
        const std::lock_guard<std::mutex> lock(g_debugLock);
        g_debugLines.emplace_back(reinterpret_cast<const char*>(r.ExceptionInformation[1]),
                                  static_cast<size_t>(r.ExceptionInformation[0]) - 1);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
const PVOID kDebugHandler = AddVectoredExceptionHandler(1, &RecordDebugText);

bool DebuggerSaw(const std::wstring& line) {
    std::string ansi(line.size() * 4, '\0');
    ansi.resize(WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), ansi.data(),
                                    static_cast<int>(ansi.size()), nullptr, nullptr));
    const std::lock_guard<std::mutex> lock(g_debugLock);
    return std::find(g_debugLines.begin(), g_debugLines.end(), ansi) != g_debugLines.end();
}

// The messages of the log file, without their "HH:MM:SS.mmm " stamps.
Lines Messages(const test::TempDir& dir) {
    const std::string bytes = dir.Read(L"Veltrune.log");
    Lines out;
    for (size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
        out.push_back(bytes.substr(at + 13, end - at - 13));
    return out;
}

TEST(Log, FileAndDebuggerThroughALauncherRun) {
    test::TempDir dir;
    dir.Write(L"Veltrune.log", "last run\r\n");
    InitLog(dir.path() + L"\\");
    EXPECT_EQ(dir.Read(L"Veltrune.log"), "") << "each start empties the file";
    const std::string raw = "a\nb \x01"s + '\0' + "\xFF";  // written as it is
    LogLine("Patcher: caf\xC3\xA9 \xE4\xB8\xAD");
    LogLine(raw);
    EXPECT_EQ(Messages(dir), (Lines{"Patcher: caf\xC3\xA9 \xE4\xB8\xAD", raw}));
    EXPECT_TRUE(DebuggerSaw(L"[VR] Patcher: caf\u00e9 \u4e2d\n")) << "the debugger gets the text, not its UTF-8 bytes";

    // Opened per line, so it can be deleted meanwhile; a locked file loses the line, not the debugger.
    ASSERT_TRUE(DeleteFileW(dir.Join(L"Veltrune.log").c_str()));
    LogLine("after delete");
    HANDLE holder = CreateFileW(dir.Join(L"Veltrune.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LogLine("dropped");
    CloseHandle(holder);
    EXPECT_EQ(Messages(dir), (Lines{"after delete"}));
    EXPECT_TRUE(DebuggerSaw(L"[VR] dropped\n"));
}

TEST(Log, FormatWritesWideArgumentsAsUtf8AndNumbersAsPrintf) {
    test::TempDir dir;
    InitLog(dir.path());
    LogFormat("%ls (%lu) %s|%ls", L"caf\u00e9\\\u4e2d\U0001F600", 5ul, static_cast<const char*>(nullptr),
              static_cast<const wchar_t*>(nullptr));
    LogFormat("%zu %llu %lld %ld|%d %u|0x%08lx|%-6s|%.1f%%", size_t{5000000000}, 18446744073709551615ull,
              -9223372036854775807LL - 1, -5L, -7, 4000000000u, 0x8007000EUL, "ab", 3.14159);
    // The whole result is cut to 1023 bytes; LogLine itself has no limit.
    LogFormat("head %d %ls tail", 12345, std::wstring(1500, L'w').c_str());
    LogLine(std::string(5000, 'L'));
    EXPECT_EQ(Messages(dir),
              (Lines{"caf\xC3\xA9\\\xE4\xB8\xAD\xF0\x9F\x98\x80 (5) (null)|(null)",
                     "5000000000 18446744073709551615 -9223372036854775808 -5|-7 4000000000|0x8007000e|ab    |3.1%",
                     ("head 12345 " + std::string(1500, 'w')).substr(0, 1023), std::string(5000, 'L')}));
}

// Lines are written under a lock: a second writer's open would fail.
TEST(Log, ThreadsLoseNoLines) {
    test::TempDir dir;
    InitLog(dir.path());
    const auto write = [] {
        for (int i = 0; i < 150; ++i) LogLine(std::string(40, 'x'));
    };
    std::thread a(write), b(write), c(write), d(write);
    for (std::thread* t : {&a, &b, &c, &d}) t->join();
    EXPECT_EQ(Messages(dir), Lines(600, std::string(40, 'x')));
}

}  // namespace
}  // namespace vr

// The process-wide log through the real file and the real debugger channel.
// Each test points InitLog at its own folder first.
#include "platform/log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vr {
namespace {

using namespace std::string_literals;

#ifndef DBG_PRINTEXCEPTION_WIDE_C
#define DBG_PRINTEXCEPTION_WIDE_C 0x4001000AL
#endif

// OutputDebugStringW raises DBG_PRINTEXCEPTION_WIDE_C and/or (Wine 8: only)
// DBG_PRINTEXCEPTION_C with the text in the ANSI code page; a vectored
// handler records both, as ANSI text, and lets the search go on.
std::mutex g_debugLock;
std::vector<std::string> g_debugLines;

std::string Ansi(const std::wstring& text) {
    std::string out(text.size() * 4, '\0');
    out.resize(static_cast<size_t>(WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                                       out.data(), static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

LONG CALLBACK RecordDebugText(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& r = *info->ExceptionRecord;
    if (r.NumberParameters < 2 || r.ExceptionInformation[0] == 0) return EXCEPTION_CONTINUE_SEARCH;
    const size_t n = static_cast<size_t>(r.ExceptionInformation[0]) - 1;
    std::lock_guard<std::mutex> lock(g_debugLock);
    if (r.ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_WIDE_C)) {
        g_debugLines.push_back(Ansi(std::wstring(reinterpret_cast<const wchar_t*>(r.ExceptionInformation[1]), n)));
    } else if (r.ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_C)) {
        g_debugLines.emplace_back(reinterpret_cast<const char*>(r.ExceptionInformation[1]), n);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
const PVOID kDebugHandler = AddVectoredExceptionHandler(1, &RecordDebugText);

bool DebuggerSaw(const std::wstring& line) {
    std::lock_guard<std::mutex> lock(g_debugLock);
    return std::find(g_debugLines.begin(), g_debugLines.end(), Ansi(line)) != g_debugLines.end();
}

// The messages of a log file, each line checked for its "HH:MM:SS.mmm " stamp.
std::vector<std::string> Messages(const test::TempDir& dir) {
    const std::string bytes = dir.Read(L"Veltrune.log");
    const std::regex stamp(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3} )");
    std::vector<std::string> out;
    for (size_t at = 0, end; at < bytes.size(); at = end + 2) {
        end = bytes.find("\r\n", at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "line without CR LF: " << bytes.substr(at);
            break;
        }
        EXPECT_TRUE(std::regex_match(bytes.substr(at, 13), stamp)) << bytes.substr(at, end - at);
        out.push_back(bytes.substr(at + 13, end - at - 13));
    }
    return out;
}
using Lines = std::vector<std::string>;

TEST(Log, FileAndDebuggerThroughALauncherRun) {
    test::TempDir dir;
    dir.Write(L"Veltrune.log", "last run\r\n");
    InitLog(dir.path() + L"\\");
    EXPECT_TRUE(dir.Exists(L"Veltrune.log"));
    EXPECT_EQ(dir.Read(L"Veltrune.log"), "") << "each start empties the file";
    const std::string odd = "caf\xC3\xA9 a\nb \x01"s + '\0' + "\xFF end";
    LogLine("one");
    LogLine("");
    LogLine(odd);
    EXPECT_EQ(Messages(dir), (Lines{"one", "", odd}));
    EXPECT_TRUE(DebuggerSaw(L"[VR] one\n"));

    // Opened per line: the file can be deleted or read while the launcher runs.
    ASSERT_TRUE(DeleteFileW(dir.Join(L"Veltrune.log").c_str()));
    LogLine("after delete");
    HANDLE reader = CreateFileW(dir.Join(L"Veltrune.log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    LogLine("while read");
    CloseHandle(reader);
    // A file locked by someone else loses the line, the debugger still gets it.
    HANDLE holder = CreateFileW(dir.Join(L"Veltrune.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    LogLine("dropped");
    CloseHandle(holder);
    EXPECT_EQ(Messages(dir), (Lines{"after delete", "while read"}));
    EXPECT_TRUE(DebuggerSaw(L"[VR] dropped\n"));

    // A folder that does not exist is not created; lines still reach the debugger.
    InitLog(dir.Join(L"absent"));
    LogLine("nowhere");
    EXPECT_FALSE(dir.Exists(L"absent"));
    EXPECT_EQ(Messages(dir), (Lines{"after delete", "while read"}));
    EXPECT_TRUE(DebuggerSaw(L"[VR] nowhere\n"));
}

TEST(Log, DebuggerLineIsConvertedFromUtf8) {
    LogLine("Patcher: caf\xC3\xA9 \xE4\xB8\xAD");
    EXPECT_TRUE(DebuggerSaw(L"[VR] Patcher: caf\u00e9 \u4e2d\n"));
}

TEST(Log, FormatWritesWideArgumentsAsUtf8AndNumbersAsPrintf) {
    test::TempDir dir;
    InitLog(dir.path());
    LogFormat("Patcher: cannot open %ls (%lu)", L"C:\\Spiele\\caf\u00e9\\\u4e2d\\\U0001F600.dat", 5ul);
    LogFormat("[%lc][%6ls][%-6ls][%.2ls][%S]", static_cast<wint_t>(L'\u00e9'), L"ab", L"cd", L"xyz", L"\u00c4");
    LogFormat("%s|%ls|%s", static_cast<const char*>(nullptr), static_cast<const wchar_t*>(nullptr), "\xC3\xA4rger");
    LogFormat("%zu %llu %llx %lld %ld", size_t{5000000000}, 18446744073709551615ull, 0xABCDEF0123ull,
              -9223372036854775807LL - 1, -5L);
    char narrow[256];
    std::snprintf(narrow, sizeof narrow, "[%5d|%-5d|%05d|%+d|%X|%#o|%u|%hd|%hhu|%c|%%|%.3s|%8.2f|%e|%g|%*d|%-*.*s]",
                  42, 42, 42, 7, 255u, 8u, 4000000000u, 70000, 300, 'z', "abcdef", 3.14159, 1234.5, 0.0001, 6, 9, 4, 2,
                  "xyz");
    LogFormat("[%5d|%-5d|%05d|%+d|%X|%#o|%u|%hd|%hhu|%c|%%|%.3s|%8.2f|%e|%g|%*d|%-*.*s]", 42, 42, 42, 7, 255u, 8u,
              4000000000u, 70000, 300, 'z', "abcdef", 3.14159, 1234.5, 0.0001, 6, 9, 4, 2, "xyz");
    // The whole result is cut to 1023 bytes; LogLine itself has no limit.
    LogFormat("head %d %ls tail", 12345, std::wstring(1500, L'w').c_str());
    LogLine(std::string(5000, 'L'));
    EXPECT_EQ(Messages(dir),
              (Lines{"Patcher: cannot open C:\\Spiele\\caf\xC3\xA9\\\xE4\xB8\xAD\\\xF0\x9F\x98\x80.dat (5)",
                     "[\xC3\xA9][    ab][cd    ][xy][\xC3\x84]", "(null)|(null)|\xC3\xA4rger",
                     "5000000000 18446744073709551615 abcdef0123 -9223372036854775808 -5", narrow,
                     ("head 12345 " + std::string(1500, 'w')).substr(0, 1023), std::string(5000, 'L')}));
}

TEST(Log, ThreadsNeverInterleaveOrLoseLines) {
    test::TempDir dir;
    InitLog(dir.path());
    constexpr int kThreads = 6;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string tail(40, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; i += 2) {
                LogLine("T" + std::to_string(t) + " " + std::to_string(i) + " " + tail);
                LogFormat("T%d %d %s", t, i + 1, tail.c_str());
            }
        });
    }
    for (auto& th : threads) th.join();
    std::vector<int> next(kThreads, 0);
    const Lines lines = Messages(dir);
    EXPECT_EQ(lines.size(), size_t{kThreads * kLines});
    for (const std::string& line : lines) {
        const int t = line.size() > 1 ? line[1] - '0' : -1;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        ASSERT_EQ(line, "T" + std::to_string(t) + " " + std::to_string(next[t]) + " " +
                            std::string(40, static_cast<char>('a' + t)));
        ++next[t];
    }
}

}  // namespace
}  // namespace vr

// The process-wide log, exercised through the real file and the
// real debugger channel. The log's path is process-wide state: every test
// points InitLog at its own TempDir first.
#include "platform/log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vr {
namespace {

#ifndef DBG_PRINTEXCEPTION_WIDE_C
#define DBG_PRINTEXCEPTION_WIDE_C 0x4001000AL
#endif

// Records what OutputDebugStringW sends, in-process: the platform raises
// DBG_PRINTEXCEPTION_WIDE_C (wide text) and/or DBG_PRINTEXCEPTION_C (the text
// in the ANSI code page), which a vectored handler sees first. The handler
// only records and lets the search go on, so the platform finishes as usual.
class DebugCapture {
public:
    static DebugCapture& Get() {
        static DebugCapture* capture = new DebugCapture;
        return *capture;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        wide_.clear();
        narrow_.clear();
    }
    std::vector<std::wstring> Wide() {
        std::lock_guard<std::mutex> lock(mutex_);
        return wide_;
    }
    std::vector<std::string> Narrow() {
        std::lock_guard<std::mutex> lock(mutex_);
        return narrow_;
    }
    // True when the given wide line arrived by either exception.
    bool Saw(const std::wstring& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& w : wide_) {
            if (w == line) return true;
        }
        std::string ascii;
        for (wchar_t ch : line) {
            if (ch > 0x7F) return false;  // the narrow form is only compared for ASCII text
            ascii += static_cast<char>(ch);
        }
        for (const auto& n : narrow_) {
            if (n == ascii) return true;
        }
        return false;
    }

private:
    DebugCapture() { AddVectoredExceptionHandler(1, &Handler); }

    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_WIDE_C) && record->NumberParameters >= 2) {
            const auto* text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
            const size_t chars = static_cast<size_t>(record->ExceptionInformation[0]);
            if (text != nullptr && chars > 0) {
                std::lock_guard<std::mutex> lock(Get().mutex_);
                Get().wide_.emplace_back(text, chars - 1);
            }
        } else if (record->ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_C) && record->NumberParameters >= 2) {
            const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            const size_t bytes = static_cast<size_t>(record->ExceptionInformation[0]);
            if (text != nullptr && bytes > 0) {
                std::lock_guard<std::mutex> lock(Get().mutex_);
                Get().narrow_.emplace_back(text, bytes - 1);
            }
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    std::mutex mutex_;
    std::vector<std::wstring> wide_;
    std::vector<std::string> narrow_;
};

// Splits file bytes into lines at CR LF; a missing final CR LF leaves a
// non-empty last element.
std::vector<std::string> SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) break;
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    if (start < bytes.size()) lines.push_back(bytes.substr(start));
    return lines;
}

std::string Stamp(const SYSTEMTIME& t) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return buffer;
}

const std::regex kStamped(R"(^(\d\d):(\d\d):(\d\d)\.(\d\d\d) ([\s\S]*)$)");

// The message part of one file line, after checking the time stamp's form.
std::string MessageOf(const std::string& line) {
    std::smatch m;
    if (!std::regex_match(line, m, kStamped)) {
        ADD_FAILURE() << "not a stamped line: [" << line << "]";
        return {};
    }
    EXPECT_LE(std::stoi(m[1]), 23);
    EXPECT_LE(std::stoi(m[2]), 59);
    EXPECT_LE(std::stoi(m[3]), 59);
    return m[5];
}

// ---------------------------------------------------------------------------
// Lines before InitLog. The path is process-wide and InitLog cannot be
// undone, so this is observed once, by a global environment whose SetUp runs
// before every test of the executable; the test below checks what it saw.
struct EarlyObservation {
    bool ran = false;
    bool sawOnDebugger = false;
    bool fileInCurrentDir = true;
    bool fileBesideExe = true;
    bool fileBesideExeBefore = false;
};
EarlyObservation& Early() {
    static EarlyObservation observation;
    return observation;
}

class BeforeInitLogEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        wchar_t exePath[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, exePath, MAX_PATH);
        std::wstring exeLog(exePath, n);
        exeLog = exeLog.substr(0, exeLog.rfind(L'\\') + 1) + L"Veltrune.log";
        Early().fileBesideExeBefore = GetFileAttributesW(exeLog.c_str()) != INVALID_FILE_ATTRIBUTES;

        wchar_t oldDir[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, oldDir);
        test::TempDir dir;
        SetCurrentDirectoryW(dir.path().c_str());
        DebugCapture::Get().Clear();
        LogLine("Test: early line before InitLog");
        Early().sawOnDebugger = DebugCapture::Get().Saw(L"[VR] Test: early line before InitLog\n");
        Early().fileInCurrentDir = dir.Exists(L"Veltrune.log");
        Early().fileBesideExe = GetFileAttributesW(exeLog.c_str()) != INVALID_FILE_ATTRIBUTES;
        SetCurrentDirectoryW(oldDir);
        Early().ran = true;
    }
};
const auto* const kEarlyEnvironment = ::testing::AddGlobalTestEnvironment(new BeforeInitLogEnvironment);

TEST(Log, LineBeforeInitLogReachesOnlyTheDebugger) {
    ASSERT_TRUE(Early().ran);
    EXPECT_TRUE(Early().sawOnDebugger);
    EXPECT_FALSE(Early().fileInCurrentDir);
    if (!Early().fileBesideExeBefore) {
        EXPECT_FALSE(Early().fileBesideExe);
    }
}

// ---------------------------------------------------------------------------

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        InitLog(dir_.path());
        DebugCapture::Get().Clear();
    }
    std::string Bytes() const { return dir_.Read(L"Veltrune.log"); }
    std::vector<std::string> Lines() const { return SplitLines(Bytes()); }

    test::TempDir dir_;
};

TEST_F(LogFile, InitLogCreatesAnEmptyFile) {
    EXPECT_TRUE(dir_.Exists(L"Veltrune.log"));
    EXPECT_EQ(Bytes(), "");
}

TEST_F(LogFile, LineIsTimeStampMessageCrLf) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    LogLine("Veltrune starting");
    GetLocalTime(&after);
    const std::string bytes = Bytes();
    ASSERT_EQ(bytes.size(), 13u + 17u + 2u) << bytes;
    EXPECT_EQ(bytes.substr(12), " Veltrune starting\r\n");
    const std::string stamp = bytes.substr(0, 12);
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d)"))) << stamp;
    // The stamp is the local time read during the call (unless midnight passed).
    if (Stamp(before) <= Stamp(after)) {
        EXPECT_LE(Stamp(before), stamp);
        EXPECT_LE(stamp, Stamp(after));
    }
}

TEST_F(LogFile, LinesAppendInOrder) {
    LogLine("one");
    LogLine("two");
    LogLine("three");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(MessageOf(lines[0]), "one");
    EXPECT_EQ(MessageOf(lines[1]), "two");
    EXPECT_EQ(MessageOf(lines[2]), "three");
}

TEST_F(LogFile, EmptyMessageIsStampBlankCrLf) {
    LogLine("");
    const std::string bytes = Bytes();
    ASSERT_EQ(bytes.size(), 15u);
    EXPECT_EQ(bytes.substr(12), " \r\n");
    EXPECT_EQ(MessageOf(SplitLines(bytes)[0]), "");
}

TEST_F(LogFile, MessageBytesAreWrittenUnchanged) {
    // UTF-8, an inner newline, a NUL and bytes that are not UTF-8 at all.
    const std::string message = std::string("caf\xC3\xA9 a\nb \x01", 11) + std::string(1, '\0') + "\xFF\x80 end";
    LogLine(message);
    EXPECT_EQ(Bytes().substr(13), message + "\r\n");
}

TEST_F(LogFile, NoByteOrderMarkOrHeader) {
    LogLine("x");
    const std::string bytes = Bytes();
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_TRUE(bytes[0] >= '0' && bytes[0] <= '2') << bytes;
}

TEST_F(LogFile, SecondInitLogLeavesOnlyTheSecondRun) {
    LogLine("first run line 1");
    LogLine("first run line 2");
    ASSERT_EQ(Lines().size(), 2u);
    InitLog(dir_.path());
    EXPECT_EQ(Bytes(), "");
    LogLine("second run");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]), "second run");
}

TEST_F(LogFile, InitLogAcceptsATrailingBackslash) {
    test::TempDir other;
    InitLog(other.path() + L"\\");
    LogLine("with backslash");
    const auto lines = SplitLines(other.Read(L"Veltrune.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]), "with backslash");
    EXPECT_EQ(Bytes(), "");  // the earlier file is no longer written
}

TEST_F(LogFile, DeletedFileIsRecreatedWithTheNextLine) {
    LogLine("before delete");
    ASSERT_TRUE(DeleteFileW(dir_.Join(L"Veltrune.log").c_str()));
    ASSERT_FALSE(dir_.Exists(L"Veltrune.log"));
    LogLine("after delete");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]), "after delete");
}

TEST_F(LogFile, FileCanBeReadWhileTheLogIsWriting) {
    // A reader holding the file open with read-and-write sharing does not
    // stop later lines.
    HANDLE reader = CreateFileW(dir_.Join(L"Veltrune.log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    LogLine("while open");
    CloseHandle(reader);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]), "while open");
}

TEST_F(LogFile, LockedFileDropsTheLineButNotTheDebuggerLine) {
    HANDLE holder = CreateFileW(dir_.Join(L"Veltrune.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    LogLine("dropped line");
    CloseHandle(holder);
    EXPECT_TRUE(DebugCapture::Get().Saw(L"[VR] dropped line\n"));
    LogLine("kept line");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]), "kept line");
}

TEST_F(LogFile, MissingFolderIsIgnored) {
    InitLog(dir_.Join(L"no such folder"));
    LogLine("nowhere to go");
    EXPECT_FALSE(dir_.Exists(L"no such folder"));
    EXPECT_TRUE(DebugCapture::Get().Saw(L"[VR] nowhere to go\n"));
}

TEST_F(LogFile, DebuggerLineHasPrefixAndLineFeed) {
    LogLine("Config: applying overrides from Veltrune.ini");
    EXPECT_TRUE(DebugCapture::Get().Saw(L"[VR] Config: applying overrides from Veltrune.ini\n"));
    LogLine("");
    EXPECT_TRUE(DebugCapture::Get().Saw(L"[VR] \n"));
}

TEST_F(LogFile, DebuggerLineIsConvertedFromUtf8) {
    LogLine("Patcher: caf\xC3\xA9 \xE4\xB8\xAD");
    const std::wstring expected = L"[VR] Patcher: caf\u00e9 \u4e2d\n";
    if (!DebugCapture::Get().Wide().empty()) {
        EXPECT_TRUE(DebugCapture::Get().Saw(expected));
        return;
    }
    // Documented platform difference: Wine 8 raises only the ANSI
    // DBG_PRINTEXCEPTION_C for OutputDebugStringW, carrying the wide text
    // converted to the ANSI code page. That narrow text must then be the ANSI
    // form of the UTF-16 line (a line passed on as raw UTF-8 bytes would show
    // "caf" followed by two bytes here).
    const int n = WideCharToMultiByte(CP_ACP, 0, expected.data(), static_cast<int>(expected.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string ansi(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, expected.data(), static_cast<int>(expected.size()), ansi.data(), n, nullptr,
                        nullptr);
    const auto narrow = DebugCapture::Get().Narrow();
    ASSERT_EQ(narrow.size(), 1u);
    EXPECT_EQ(narrow[0], ansi);
}

// --- LogFormat --------------------------------------------------------------

TEST_F(LogFile, FormatBasicConversions) {
    LogFormat("Http: status %lu after %d tries, %lld bytes, %s", 404ul, 3, -9223372036854775807LL - 1, "done");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]), "Http: status 404 after 3 tries, -9223372036854775808 bytes, done");
}

TEST_F(LogFile, FormatMatchesSnprintfForNarrowConversions) {
    char expected[1024];
    std::snprintf(expected, sizeof expected,
                  "[%5d|%-5d|%05d|%+d|%x|%X|%#o|%u|%hd|%hhu|%c|%%|%.3s|%8.2f|%e|%g|%*d|%-*.*s]", 42, 42, 42, 7, 255u,
                  255u, 8u, 4000000000u, 70000, 300, 'z', "abcdef", 3.14159, 1234.5, 0.0001, 6, 9, 4, 2, "xyz");
    LogFormat("[%5d|%-5d|%05d|%+d|%x|%X|%#o|%u|%hd|%hhu|%c|%%|%.3s|%8.2f|%e|%g|%*d|%-*.*s]", 42, 42, 42, 7, 255u, 255u,
              8u, 4000000000u, 70000, 300, 'z', "abcdef", 3.14159, 1234.5, 0.0001, 6, 9, 4, 2, "xyz");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]), expected);
}

TEST_F(LogFile, FormatSixtyFourBitAndSizeArguments) {
    const size_t size = 5000000000ull;
    const uint64_t big = 18446744073709551615ull;
    LogFormat("%zu %llu %llx %ld", size, static_cast<unsigned long long>(big), 0xABCDEF0123ull, -5L);
    EXPECT_EQ(MessageOf(Lines().at(0)), "5000000000 18446744073709551615 abcdef0123 -5");
}

TEST_F(LogFile, FormatWideArgumentsAsciiUnchanged) {
    LogFormat("GameLaunch: started %ls in %ls", L"quorvane.exe", L"C:\\Games\\Quorvane");
    EXPECT_EQ(MessageOf(Lines().at(0)), "GameLaunch: started quorvane.exe in C:\\Games\\Quorvane");
}

TEST_F(LogFile, FormatWideNonAsciiKeepsTheLineAsUtf8) {
    // The C library would turn these into locale bytes or fail the whole
    // call; the log keeps the line and writes UTF-8.
    LogFormat("Patcher: cannot open %ls (%lu)", L"C:\\Spiele\\caf\u00e9\\\u4e2d\u6587\\\U0001F600.dat", 5ul);
    EXPECT_EQ(MessageOf(Lines().at(0)),
              "Patcher: cannot open C:\\Spiele\\caf\xC3\xA9\\\xE4\xB8\xAD\xE6\x96\x87\\\xF0\x9F\x98\x80.dat (5)");
}

TEST_F(LogFile, FormatWideCharAndWidth) {
    LogFormat("[%lc][%6ls][%-6ls]", static_cast<wint_t>(L'\u00e9'), L"ab", L"cd");
    EXPECT_EQ(MessageOf(Lines().at(0)), "[\xC3\xA9][    ab][cd    ]");
}

TEST_F(LogFile, FormatNullStrings) {
    LogFormat("%s|%ls", static_cast<const char*>(nullptr), static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(MessageOf(Lines().at(0)), "(null)|(null)");
}

TEST_F(LogFile, FormatNarrowUtf8PassesThrough) {
    LogFormat("Patcher: %s", "Daten/\xC3\xA4rger.pak");
    EXPECT_EQ(MessageOf(Lines().at(0)), "Patcher: Daten/\xC3\xA4rger.pak");
}

TEST_F(LogFile, FormatOf2000BytesIsCutTo1023) {
    std::string big;
    for (int i = 0; i < 2000; ++i) big += static_cast<char>('a' + i % 26);
    LogFormat("%s", big.c_str());
    const std::string bytes = Bytes();
    ASSERT_EQ(bytes.size(), 13u + 1023u + 2u);
    EXPECT_EQ(bytes.substr(13), big.substr(0, 1023) + "\r\n");
}

TEST_F(LogFile, FormatCutCountsTheWholeResult) {
    // Literal text, a number and a wide argument together past the limit.
    const std::wstring wide(1500, L'w');
    LogFormat("head %d %ls tail", 12345, wide.c_str());
    const std::string message = Bytes().substr(13);
    const std::string expected = ("head 12345 " + std::string(1500, 'w') + " tail").substr(0, 1023);
    EXPECT_EQ(message, expected + "\r\n");
}

TEST_F(LogFile, FormatOfExactly1023BytesIsKept) {
    const std::string text(1023, 'k');
    LogFormat("%s", text.c_str());
    EXPECT_EQ(Bytes().substr(13), text + "\r\n");
}

TEST_F(LogFile, LogLineHasNoLengthLimit) {
    const std::string text(5000, 'L');
    LogLine(text);
    EXPECT_EQ(Bytes().substr(13), text + "\r\n");
}

// --- Concurrency ------------------------------------------------------------

TEST_F(LogFile, ManyThreadsNeverInterleaveOrLoseLines) {
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 2 == 0) {
                    std::string text = "T";
                    text += std::to_string(t);
                    text += " line ";
                    text += std::to_string(i);
                    text += ' ';
                    text.append(40, static_cast<char>('a' + t));
                    LogLine(text);
                } else {
                    LogFormat("T%d line %d %s", t, i, std::string(40, 'a' + t).c_str());
                }
            }
        });
    }
    for (auto& th : threads) th.join();

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    const std::regex shape(R"(^T(\d) line (\d+) ([a-h]{40})$)");
    std::string lastStamp;
    for (const auto& line : lines) {
        const std::string message = MessageOf(line);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(message, m, shape)) << "damaged line: [" << line << "]";
        const int t = std::stoi(m[1]);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(m[3].str(), std::string(40, static_cast<char>('a' + t)));
        EXPECT_EQ(std::stoi(m[2]), next[t]) << "thread " << t << " out of order";
        next[t] = std::stoi(m[2]) + 1;
        // Time stamps are read under the lock: they never go backwards in
        // file order (a midnight during the test would break this).
        const std::string stamp = line.substr(0, 12);
        if (!lastStamp.empty() && lastStamp.substr(0, 2) <= stamp.substr(0, 2)) {
            EXPECT_LE(lastStamp, stamp);
        }
        lastStamp = stamp;
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "thread " << t;
}

}  // namespace
}  // namespace vr

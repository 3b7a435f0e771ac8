#pragma once
// Shared machinery of the patcher tests: recording callbacks, a captured log,
// file time helpers and a configuration aimed at loopback servers.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "patcher/patcher.h"
#include "platform/launcher_config.h"
#include "platform/log.h"
#include "support/file_times.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {

// Puts a patcher into states that a pass reaches only slowly or never.
class PatcherTestAccess {
public:
    static void SetCurrentServer(Patcher& p, size_t index) { p.currentServer = index; }
    static void ClearServers(Patcher& p) { p.servers.clear(); }
    static const std::wstring& UserAgent(const Patcher& p) { return p.http.userAgent; }
};

}  // namespace vr

namespace vr::test {

// The shipped seams with 1 ms pause slices, so retries take 20 ms, not 2 s.
inline Patcher::Seams QuickPauses() {
    Patcher::Seams seams;
    seams.pause = [](uint32_t) { Sleep(1); };
    return seams;
}

// Every callback as one line: "phase checking", "status ...", "count 3",
// "done 1/3", "progress 100 a.dat".
struct Recorder {
    std::vector<std::string> events;

    PatchCallbacks Callbacks() {
        PatchCallbacks c;
        c.phase = [this](const std::string& w) { events.push_back("phase " + w); };
        c.status = [this](const std::string& t) { events.push_back("status " + t); };
        c.fileCount = [this](int n) { events.push_back("count " + std::to_string(n)); };
        c.filesDone = [this](int d, int t) { events.push_back("done " + std::to_string(d) + "/" + std::to_string(t)); };
        c.fileProgress = [this](int p, double, double, const std::wstring& f) {
            events.push_back("progress " + std::to_string(p) + " " + WideToUtf8(f));
        };
        return c;
    }

    int Count(const std::string& event) const {
        int n = 0;
        for (const auto& e : events) n += e == event;
        return n;
    }
    // Events with each run of progress lines cut to its last one, which for a
    // completed file must be "progress 100 <file>".
    std::vector<std::string> Milestones() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < events.size(); ++i) {
            const bool progress = events[i].rfind("progress ", 0) == 0;
            const bool nextProgress = i + 1 < events.size() && events[i + 1].rfind("progress ", 0) == 0;
            if (progress && nextProgress) continue;
            out.push_back(events[i]);
        }
        return out;
    }
};

// Points the process log at a private folder for one test.
class LogCapture {
public:
    LogCapture() { InitLog(dir.path()); }
    std::string Text() const { return dir.Read(L"Veltrune.log"); }
    bool Has(const std::string& line) const { return Text().find(line) != std::string::npos; }
    int Count(const std::string& piece) const {
        const std::string t = Text();
        int n = 0;
        for (size_t p = t.find(piece); p != std::string::npos; p = t.find(piece, p + 1)) ++n;
        return n;
    }

private:
    TempDir dir;
};

inline LauncherConfig ConfigFor(const std::vector<std::wstring>& servers) {
    LauncherConfig c;
    c.mirrors = servers;
    c.serverUrl = servers.empty() ? L"http://127.0.0.1:9/" : servers.front();
    c.listFile = L"list.txt";
    c.patchVersion = 29;
    return c;
}

// Names directly inside a folder, sorted by the file system's order.
inline std::vector<std::wstring> ListFolder(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring n = data.cFileName;
        if (n != L"." && n != L"..") names.push_back(n);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

}  // namespace vr::test

#pragma once
// Shared by the patcher tests: recording callbacks, quick retry pauses and a
// configuration aimed at loopback servers.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "patcher/patcher.h"
#include "platform/launcher_config.h"
#include "support/file_times.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {

class PatcherTestAccess {
public:
    static void SetCurrentServer(Patcher& p, size_t index) { p.currentServer = index; }
};

}  // namespace vr

namespace vr::test {

// 1 ms pause slices, so retries take 20 ms, not 2 s.
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
        return static_cast<int>(std::count(events.begin(), events.end(), event));
    }
    // Without status texts, and each run of progress lines cut to its last.
    std::vector<std::string> Milestones() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < events.size(); ++i) {
            const bool progress = events[i].rfind("progress ", 0) == 0;
            if (events[i].rfind("status ", 0) == 0) continue;
            if (progress && i + 1 < events.size() && events[i + 1].rfind("progress ", 0) == 0) continue;
            out.push_back(events[i]);
        }
        return out;
    }
};

inline LauncherConfig ConfigFor(const std::vector<std::wstring>& servers) {
    LauncherConfig c;
    c.mirrors = servers;
    c.serverUrl = servers.empty() ? L"http://127.0.0.1:9/" : servers.front();
    c.listFile = L"list.txt";
    c.patchVersion = 29;
    return c;
}

}  // namespace vr::test

#pragma once
// A launcher folder, a loopback server standing in for both the patch server
// and Discord's API, a recording host and a bridge wired to them. Nothing the
// bridge starts leaves the temp folder: links and pauses go through the
// launcher's seams, roaming files into the folder's "roaming".
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "game/client_launcher.h"
#include "patcher/patcher.h"
#include "platform/launcher_config.h"
#include "platform/log.h"
#include "support/fake_process_path.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/recording_host.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "text/json.h"
#include "text/text.h"

namespace vr {

// The worker thread handle itself, which no production caller needs.
class BridgeTestAccess {
public:
    static bool HoldsWorkerThread(const Bridge& bridge) { return bridge.worker.joinable(); }
};

}  // namespace vr

namespace vr::test {

// The names of an object's top-level members, in the order they appear.
inline std::vector<std::string> MemberNames(const std::string& json) {
    std::vector<std::string> names;
    int depth = 0;
    bool expectName = false;
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '"') {
            std::string text;
            for (++i; i < json.size() && json[i] != '"'; ++i) {
                if (json[i] == '\\') ++i;
                if (i < json.size()) text += json[i];
            }
            if (depth == 1 && expectName) names.push_back(text);
            expectName = false;
        } else if (c == '{' || c == '[') {
            ++depth;
            expectName = depth == 1;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == ',' && depth == 1) {
            expectName = true;
        }
    }
    return names;
}

inline std::string Field(const std::string& json, const std::string& name) {
    return JsonGetString(ParseJsonObject(json), name, "<absent>");
}

class BridgeTest : public ::testing::Test {
protected:
    BridgeTest() {
        config.serverUrl = server.WUrl() + L"patch/";
        config.mirrors.clear();
        config.guildId.clear();  // tests that want the widget set one
        seams.discordApiBase = server.WUrl() + L"api/guilds/";
        seams.pause = [](uint32_t) { Sleep(4); };  // a cycle of about 0.1 s
        seams.patcher.pause = [](uint32_t) { Sleep(1); };
        seams.patcher.roamingFolder = [this] { return dir.Join(L"roaming"); };
        seams.launcher.pause = [](uint32_t) {};
        seams.launcher.shellOpen = [this](const std::wstring& url) { opened.push_back(url); };
        seams.displayModes = [](uint32_t, int32_t&, int32_t&) { return false; };
        dir.MakeDir(L"roaming");
        Maintenance("false");
        List("v 29\n");
    }

    ~BridgeTest() override {
        bridge.reset();  // cancels and joins a worker still running
    }

    Bridge& Make() {
        bridge = std::make_unique<Bridge>(config, dir.path(), &host, seams);
        return *bridge;
    }

    void Send(const std::string& json) { bridge->OnWebMessage(Utf8ToWide(json)); }

    // Patch server content, under /patch/.
    void List(const std::string& text) { server.Serve("/patch/list.txt.gz", Gzip(text)); }
    void File(const std::string& name, const std::string& bytes) {
        server.Serve("/patch/" + name + ".gz", Gzip(bytes));
    }
    void Maintenance(const std::string& text) { server.Serve("/patch/MaintanenceCheck.txt", text); }

    // Bounded wait for the worker body to end.
    bool WaitIdle(uint32_t timeoutMs = 20000) {
        for (uint32_t waited = 0;; waited += 10) {
            if (!bridge->IsRunning()) return true;
            if (waited >= timeoutMs) return false;
            Sleep(10);
        }
    }

    // Events (as texts) from index `from` on.
    std::vector<std::string> EventsFrom(size_t from) const {
        const std::vector<std::string> all = host.Events();
        return from < all.size() ? std::vector<std::string>(all.begin() + from, all.end()) : std::vector<std::string>{};
    }

    static int Count(const std::vector<std::string>& events, const std::string& evt) {
        return static_cast<int>(
            std::count_if(events.begin(), events.end(), [&](const std::string& e) { return EventName(e) == evt; }));
    }

    TempDir dir;  // the launcher's folder and the game folder
    HttpServer server;
    RecordingHost host;
    LauncherConfig config;
    Bridge::Seams seams;
    std::vector<std::wstring> opened;  // links the shell would have opened (UI thread only)
    std::unique_ptr<Bridge> bridge;
};

}  // namespace vr::test

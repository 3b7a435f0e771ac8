#pragma once
// A launcher folder, a loopback server standing in for the patch server and
// Discord's API, a recording host and a bridge wired to them. Links, pauses
// and roaming files stay inside the test through the launcher's seams.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"
#include "text/json.h"
#include "text/text.h"

namespace vr::test {

inline std::string Field(const std::string& json, const std::string& name) {
    return JsonGetString(ParseJsonObject(json), name, "<absent>");
}

// The events named `evt`; for "phase" only their phases.
inline std::vector<std::string> Only(const std::vector<std::string>& events, const std::string& evt) {
    std::vector<std::string> found;
    for (const auto& e : events) {
        if (EventName(e) == evt) found.push_back(evt == "phase" ? Field(e, "phase") : e);
    }
    return found;
}

class BridgeTest : public ::testing::Test {
protected:
    BridgeTest() {
        config.serverUrl = server.WUrl() + L"patch/";
        config.mirrors.clear();
        config.guildId.clear();  // tests that want the widget set one
        seams.discordApiBase = server.WUrl() + L"api/guilds/";
        seams.pause = [](uint32_t) { Sleep(4); };  // a check about every 0.1 s
        seams.patcher.pause = [](uint32_t) { Sleep(1); };
        seams.patcher.roamingFolder = [this] { return dir.Join(L"roaming"); };
        seams.launcher.pause = [](uint32_t) {};
        seams.launcher.shellOpen = [this](const std::wstring& url) { opened.push_back(url); };
        dir.MakeDir(L"roaming");
        Maintenance("false");
        List("v 29\n");
    }
    ~BridgeTest() override { bridge.reset(); }  // cancels and joins a worker still running

    Bridge& Make(const std::wstring& folder = L"") {
        bridge = std::make_unique<Bridge>(config, folder.empty() ? dir.path() : folder, &host, seams);
        return *bridge;
    }
    void Send(const std::string& json) { bridge->OnWebMessage(Utf8ToWide(json)); }

    void List(const std::string& text) { server.Serve("/patch/list.txt.gz", Gzip(text)); }
    void File(const std::string& name, const std::string& bytes) {
        server.Serve("/patch/" + name + ".gz", Gzip(bytes));
    }
    void Maintenance(const std::string& text) { server.Serve("/patch/MaintanenceCheck.txt", text); }
    static std::string FileLine(const std::string& name, size_t size) {
        return "f 1700000000 " + std::to_string(size) + " x " + name + "\n";
    }

    // Bounded waits: for the worker body to end, for "ready" with a value at
    // or after `from` (its index, or -1).
    bool WaitIdle() {
        for (int waited = 0; bridge->IsRunning() && waited < 60000; waited += 10) Sleep(10);
        return !bridge->IsRunning();
    }
    int WaitReady(bool value, size_t from = 0) {
        const std::string want = value ? R"({"evt":"ready","canPlay":true})" : R"({"evt":"ready","canPlay":false})";
        return host.WaitForEventWhere([&](const std::string& e) { return e == want; }, 20000, from);
    }
    std::vector<std::string> EventsFrom(size_t from) const {
        const std::vector<std::string> all = host.Events();
        return {all.begin() + from, all.end()};
    }

    TempDir dir;  // the launcher's folder and the game folder
    HttpServer server;
    RecordingHost host;
    LauncherConfig config;
    Bridge::Seams seams;
    std::vector<std::wstring> opened;  // links the shell would have opened
    std::unique_ptr<Bridge> bridge;
};

}  // namespace vr::test

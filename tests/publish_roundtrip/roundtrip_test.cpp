// A game folder published by veltrune-publish (its Windows build) and
// patched by the launcher from a loopback server: the player's folder ends
// up identical, stamped with the listed times, and a second pass has nothing
// to do.
#include <gtest/gtest.h>

#include <atomic>

#include "patcher/patcher.h"
#include "platform/launcher_config.h"
#include "publish_tool.h"
#include "support/file_times.h"
#include "support/log_capture.h"
#include "support/test_data.h"

namespace vr {
namespace {

TEST(PublishRoundTrip, PublishedTreeArrivesIdentical) {
    test::TempDir source, out, game;
    test::LogCapture log;
    const std::vector<std::pair<std::wstring, std::string>> entries = {
        {L"readme.txt", "hello"},
        {L"inner blank.dat", std::string(5000, 'i')},
        {L"Data\\Ünïcödé ñame.bin", "umlauts"},
        {L"Data\\日本語\\ファイル.txt", "kana"},
        {L"Data\\ leading blank.txt", "lead"},
        {L"Data\\Sub Folder\\two  blanks.txt", "two"},
        {L"Data\\Sub Folder\\deeper\\also empty", ""},
        {L"#hash%percent+plus.txt", "signs"},
        {L"Packs\\big.pak", test::Noise(3u << 20, 9)},  // many reads and writes on both sides
    };
    int64_t when = 1500000000;
    for (const auto& [rel, bytes] : entries) {
        source.Write(rel, bytes);
        test::SetUnixMtime(source.Join(rel), when += 86400 + 7);
    }
    source.MakeDir(L"Empty Folder\\Inside");
    ASSERT_EQ(test::RunPublish({L"--game", source.path(), L"--out", out.path(), L"--version", L"29"}), 0);

    test::HttpServer server;
    test::ServeAll(server, out);
    LauncherConfig config;
    config.mirrors = {server.WUrl()};
    config.serverUrl = server.WUrl();
    config.listFile = L"list.txt";
    config.patchVersion = 29;
    Patcher patcher(config, game.path());
    std::atomic<bool> cancel{false};
    ASSERT_EQ(patcher.Run(cancel, {}), PatchResult::Finished);
    for (const auto& [rel, bytes] : entries) {
        EXPECT_TRUE(game.Read(rel) == bytes) << WideToUtf8(rel);
        EXPECT_EQ(test::UnixMtime(game.Join(rel)), test::UnixMtime(source.Join(rel))) << WideToUtf8(rel);
    }
    std::map<std::wstring, std::wstring> arrived;
    test::Walk(game.path(), L"", arrived);
    EXPECT_EQ(arrived.size(), entries.size());
    EXPECT_TRUE(game.Exists(L"Empty Folder\\Inside"));

    // Everything is current now: the second pass fetches no object.
    server.ClearRequests();
    ASSERT_EQ(patcher.Run(cancel, {}), PatchResult::Finished);
    for (const auto& r : server.Requests()) EXPECT_EQ(r.path, "/list.txt.gz");
}

}  // namespace
}  // namespace vr

// Names the list or the launcher cannot carry are refused before anything is
// written; bad arguments get the usage text and exit code 2.
#include "publish_fixture.h"

namespace vr::publish::test {
namespace {

struct Refusal {
    const char* what;
    std::function<void(const fs::path& game, const fs::path& outside)> plant;
    std::string named;   // must appear in the message
    std::string reason;  // part of the reason
};

TEST(Refusals, EachClassLeavesTheOutputUntouched) {
    const std::vector<Refusal> cases = {
        {"line feed", [](auto& g, auto&) { WriteBytes(g / "bad\nname.txt", "x"); }, "bad\\x0Aname.txt", "line break"},
        {"carriage return", [](auto& g, auto&) { WriteBytes(g / "sub" / "bad\rname", "x"); }, "sub/bad\\x0Dname",
         "line break"},
        {"control character", [](auto& g, auto&) { WriteBytes(g / "bell\x07.wav", "x"); }, "bell\\x07.wav",
         "control character"},
        {"tab", [](auto& g, auto&) { WriteBytes(g / "tab\there", "x"); }, "tab\\x09here", "control character"},
        {"C1 control", [](auto& g, auto&) { WriteBytes(g / "c1\xC2\x85.txt", "x"); }, "c1\\xC2\\x85.txt",
         "control character"},
        {"invalid UTF-8", [](auto& g, auto&) { WriteBytes(g / "latin1-\xE9t\xE9.txt", "x"); }, "latin1-\\xE9t\\xE9.txt",
         "not valid UTF-8"},
        {"overlong UTF-8", [](auto& g, auto&) { WriteBytes(g / "dir" / "\xC0\xAE\xC0\xAE", "x"); },
         "dir/\\xC0\\xAE\\xC0\\xAE", "not valid UTF-8"},
        {"only dots", [](auto& g, auto&) { WriteBytes(g / "data" / "...", "x"); }, "data/...", "only dots and blanks"},
        {"only blanks", [](auto& g, auto&) { WriteBytes(g / "data" / "  ", "x"); }, "data/  ", "only dots and blanks"},
        {"colon", [](auto& g, auto&) { WriteBytes(g / "C:evil", "x"); }, "C:evil", "colon"},
        {"backslash", [](auto& g, auto&) { WriteBytes(g / "..\\escape", "x"); }, "..\\escape", "backslash"},
        {"Windows-invalid character", [](auto& g, auto&) { WriteBytes(g / "what?.txt", "x"); }, "what?.txt", "Windows"},
        {"device name", [](auto& g, auto&) { WriteBytes(g / "data" / "con.txt", "x"); }, "data/con.txt", "device"},
        {"file link leaving the folder",
         [](auto& g, auto& o) {
             WriteBytes(o / "secret", "s");
             fs::create_symlink(o / "secret", g / "innocent.txt");
         },
         "innocent.txt", "outside the game folder"},
        {"folder link leaving the folder",
         [](auto& g, auto& o) {
             fs::create_directories(o / "etc");
             fs::create_directory_symlink("../../outside/etc", g / "data" / "more");
         },
         "data/more", "outside the game folder"},
        {"link loop", [](auto& g, auto&) { fs::create_directory_symlink("..", g / "data" / "loop"); }, "data/loop",
         "loop"},
        {"broken link", [](auto& g, auto&) { fs::create_symlink("nowhere", g / "dangling"); }, "dangling",
         "broken link"},
        {"leading blank at the top", [](auto& g, auto&) { WriteBytes(g / " lead.txt", "x"); }, " lead.txt",
         "start with a blank"},
        {"names only differing in case", [](auto& g, auto&) { WriteBytes(g / "data" / "README", "x"); }, "data/README",
         "same on Windows"},
        {"trailing dot twin", [](auto& g, auto&) { WriteBytes(g / "a.txt.", "x"); }, "a.txt.", "same on Windows"},
        {"game file named like the list", [](auto& g, auto&) { WriteBytes(g / "list.txt", "x"); }, "list.txt",
         "collide"},
        {"folder named like an object", [](auto& g, auto&) { WriteBytes(g / "a.txt.gz" / "x", "x"); }, "a.txt.gz/",
         "collide"},
        {"empty folder ending in a blank", [](auto& g, auto&) { fs::create_directories(g / "data" / "empty "); },
         "data/empty ", "empty folder"},
        {"fifo", [](auto& g, auto&) { ASSERT_EQ(mkfifo((g / "pipe").c_str(), 0644), 0); }, "pipe",
         "not a regular file"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder t;
        const fs::path game = t / "game";
        WriteBytes(game / "a.txt", "a");
        WriteBytes(game / "data" / "readme", "r");
        fs::create_directories(t / "outside");
        ASSERT_EQ(Publish(game, t / "out", 1).code, 0);
        const auto before = Snapshot(t / "out");

        c.plant(game, t / "outside");
        WriteBytes(game / "a.txt", "changed, would be recompressed");
        const ToolRun r = Publish(game, t / "out", 2, {"--prune", "--maintenance", "on"});
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("\"" + c.named + "\""), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
        EXPECT_EQ(Snapshot(t / "out"), before);
    }
}

TEST(Refusals, NothingIsCreatedForARefusedFirstPublish) {
    TempFolder t;
    WriteBytes(t / "game" / "ok.txt", "x");
    WriteBytes(t / "game" / "no:pe", "x");
    EXPECT_EQ(Publish(t / "game", t / "out", 1).code, 1);
    EXPECT_FALSE(fs::exists(t / "out"));
}

// Links that stay inside the game folder are published as what they name.
TEST(Refusals, LinksInsideTheFolderArePublishedAsTheirTargets) {
    TempFolder t;
    WriteBytes(t / "game" / "real" / "f.txt", "content");
    fs::create_symlink("real/f.txt", t / "game" / "alias.txt");
    fs::create_directory_symlink("real", t / "game" / "mirror");
    const ToolRun r = Publish(t / "game", t / "out", 1);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Gunzip(t / "out" / "alias.txt.gz"), "content");
    EXPECT_EQ(Gunzip(t / "out" / "mirror" / "f.txt.gz"), "content");
}

TEST(Arguments, BadOnesGiveUsageAndExitTwo) {
    TempFolder t;
    fs::create_directories(t / "game");
    const std::string g = (t / "game").string(), o = (t / "out").string();
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--game", g, "--version", "1"},
        {"--game", g, "--out", o},
        {"--game", g, "--out", o, "--version", "-1"},
        {"--game", g, "--out", o, "--version", "12abc"},
        {"--game", g, "--out", o, "--version", "2147483648"},
        {"--game", g, "--out", o, "--version", "1", "--jobs", "0"},
        {"--game", g, "--out", o, "--version", "1", "--frobnicate"},
        {"--game", g, "--out", o, "--version"},
        {"--game", g, "--out", o, "--version", "1", "--maintenance", "maybe"},
        {"--game", g, "--out", o, "--version", "1", "--list-name", "my list.txt"},
        {"--game", g, "--out", o, "--version", "1", "--launcher-name", "../x.exe"},
        {"--game", g, "--out", o, "--version", "1", "--list-name", "a", "--launcher-name", "A"},
        {"--out", o, "--version", "1"},
        {"--verify", o, "--game", g},
    };
    for (const auto& args : bad) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        const ToolRun r = RunTool(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("usage: veltrune-publish"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(t / "out"));
    const ToolRun help = RunTool({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("--maintenance on|off"), std::string::npos);
}

TEST(Arguments, OutputInsideTheGameFolderIsRefused) {
    TempFolder t;
    WriteBytes(t / "game" / "a", "a");
    const ToolRun r = Publish(t / "game", t / "game" / "www", 1);
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(fs::exists(t / "game" / "www"));
}

}  // namespace
}  // namespace vr::publish::test

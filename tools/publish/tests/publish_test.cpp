// Publishing runs: the list as the launcher reads it, what is reused or
// replaced, the server folder's other files, and what is refused.
#include <functional>

#include "publish_fixture.h"

namespace vr::publish::test {
namespace {

using namespace std::string_literals;

TEST(ListFormat, SmallTreeGivesExactlyTheseLinesAndPlainObjects) {
    TempFolder t;
    const fs::path game = t / "game";
    WriteBytes(game / "readme.txt", "hello\n");
    WriteBytes(game / "data" / "a.bin", "AAAA");
    WriteBytes(game / "data" / "sub" / "b.bin", "");
    WriteBytes(game / "x" / "y " / "c.bin", "");  // the launcher trims folder lines
    fs::create_directories(game / "logs");
    fs::create_symlink("readme.txt", game / "alias.txt");  // links inside are followed
    for (const char* f : {"readme.txt", "data/a.bin", "data/sub/b.bin", "x/y /c.bin"}) SetMtime(game / f, 1700000000);

    const ToolRun r = Publish(game, t / "out", 29, {"--serial", "41", "--list-name", "files.lst"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string hello = " 6 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 ";
    const std::string empty = " 0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 ";
    EXPECT_EQ(Gunzip(t / "out" / "files.lst.gz"),
              "v 29\n#hash sha256\n#serial 41\n"
              "f 1700000000" + hello + "alias.txt\n"
              "f 1700000000" + hello + "readme.txt\n"
              "d data\n"
              "f 1700000000 4 63c1dd951ffedf6f7fd968ad4efa39b8ed584f162f46e715114ee184f8de9201 a.bin\n"
              "d data\\sub\n"
              "f 1700000000" + empty + "b.bin\n"
              "d logs\n"
              "d x\n"
              "f 1700000000" + empty + "y \\c.bin\n");
    EXPECT_EQ(Gunzip(t / "out" / "data" / "a.bin.gz"), "AAAA");
    // One member with no name, time 0 and OS 255: both builds write the same bytes.
    const std::string member = ReadBytes(t / "out" / "alias.txt.gz");
    EXPECT_EQ(member.substr(3, 5), std::string(5, '\0'));
    EXPECT_EQ(uint8_t(member[9]), 255);
}

TEST(Runs, OnlyChangedOrTamperedObjectsAreMadeAgainAndReplacedByRename) {
    TempFolder t;
    const fs::path game = t / "game", out = t / "out";
    WriteBytes(game / "a.txt", "alpha");
    WriteBytes(game / "data" / "b.bin", std::string(100000, 'b'));
    WriteBytes(game / "data" / "c.bin", "gamma");
    WriteBytes(game / "d.map", "delta");
    ASSERT_EQ(Publish(game, out, 1).code, 0);
    const auto first = Snapshot(out);
    // A server still sending the old object keeps reading the whole old member.
    const std::string oldMember = ReadBytes(out / "data" / "c.bin.gz");
    const int fd = open((out / "data" / "c.bin.gz").c_str(), O_RDONLY);

    WriteBytes(game / "data" / "c.bin", "gamma, longer");
    SetMtime(game / "d.map", 1234567890);                          // same size, another time
    WriteBytes(out / "data" / "b.bin.gz", "not gzip");             // not the object the tool wrote
    WriteBytes(out / "a.txt.gz.4242-0.vrpub-tmp", "partial");      // left by a killed run
    ToolRun r = Publish(game, out, 1);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("4 files (3 compressed, 1 reused)"), npos) << r.out;
    const auto second = Snapshot(out);
    EXPECT_EQ(second.at("a.txt.gz"), first.at("a.txt.gz"));
    EXPECT_NE(second.at("d.map.gz")[2], first.at("d.map.gz")[2]);
    EXPECT_EQ(Gunzip(out / "data" / "b.bin.gz"), std::string(100000, 'b'));
    EXPECT_EQ(Gunzip(out / "data" / "c.bin.gz"), "gamma, longer");
    EXPECT_FALSE(second.count("a.txt.gz.4242-0.vrpub-tmp"));
    std::string seen(oldMember.size() + 1, '\0');
    EXPECT_EQ(pread(fd, seen.data(), seen.size(), 0), ssize_t(oldMember.size()));
    close(fd);
    EXPECT_EQ(seen.substr(0, oldMember.size()), oldMember);

    // Nothing changed: not even the list is rewritten.
    r = Publish(game, out, 1);
    EXPECT_NE(r.out.find("(0 compressed, 4 reused)"), npos) << r.out;
    EXPECT_NE(r.out.find("list unchanged"), npos) << r.out;
    EXPECT_EQ(Snapshot(out), second);
}

TEST(Runs, ServerFolderKeepsListLauncherAndOwnFilesAndPrunesOnlyOnRequest) {
    TempFolder t;
    const fs::path game = t / "game", out = t / "out";
    WriteBytes(game / "a.txt", "alpha");
    WriteBytes(game / "maps" / "d.map", "delta");
    WriteBytes(game / "data" / "c.bin", "gamma");
    WriteBytes(t / "new.exe", "MZ new launcher");
    ToolRun r = Publish(game, out, 30, {"--launcher", (t / "new.exe").string(), "--maintenance", "on"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Gunzip(out / "newLauncher.exe.gz"), "MZ new launcher");
    EXPECT_EQ(ReadBytes(out / "MaintanenceCheck.txt"), "true\n");
    EXPECT_EQ(RunTool({"--out", out.string(), "--maintenance", "off"}).code, 0);
    EXPECT_EQ(ReadBytes(out / "MaintanenceCheck.txt"), "false\n");

    // A replacement that cannot take its place fails the run; the list stays.
    const std::string list = ReadBytes(out / "list.txt.gz");
    fs::remove(out / "a.txt.gz");
    fs::create_directories(out / "a.txt.gz" / "in-the-way");
    WriteBytes(game / "a.txt", "alpha 2");
    r = Publish(game, out, 31);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("a.txt.gz"), npos) << r.err;
    EXPECT_EQ(ReadBytes(out / "list.txt.gz"), list);
    for (const auto& [rel, stamp] : Snapshot(out)) EXPECT_EQ(rel.find(".vrpub-tmp"), npos) << rel;
    fs::remove_all(out / "a.txt.gz");

    WriteBytes(out / "notes.html", "the operator's own file");
    fs::remove_all(game / "maps");
    fs::remove(game / "data" / "c.bin");
    ASSERT_EQ(Publish(game, out, 31).code, 0);
    EXPECT_TRUE(fs::exists(out / "maps" / "d.map.gz"));
    r = Publish(game, out, 31, {"--prune"});
    EXPECT_NE(r.out.find(", 2 pruned"), npos) << r.out;
    EXPECT_FALSE(fs::exists(out / "maps"));
    EXPECT_FALSE(fs::exists(out / "data" / "c.bin.gz"));
    for (const char* kept : {"a.txt.gz", "list.txt.gz", "newLauncher.exe.gz", "notes.html", "MaintanenceCheck.txt"}) {
        EXPECT_TRUE(fs::exists(out / kept)) << kept;
    }
}

TEST(Refusals, EachNameClassLeavesTheOutputUntouched) {
    // kind: f file, d empty folder, l link to `target`, p fifo.
    const struct {
        char kind;
        const char* path;
        const char* target;
        const char* shown;  // as the message names it, when it differs from path
        const char* reason;
    } rows[] = {
        {'f', "bad\nname.txt", "", "bad\\x0Aname.txt", "line break"},
        {'f', "bell\x07.wav", "", "bell\\x07.wav", "control character"},
        {'f', "c1\xC2\x85.txt", "", "c1\\xC2\\x85.txt", "control character"},
        {'f', "latin1-\xE9t\xE9.txt", "", "latin1-\\xE9t\\xE9.txt", "not valid UTF-8"},
        {'f', "dir/\xC0\xAE\xC0\xAE", "", "dir/\\xC0\\xAE\\xC0\\xAE", "not valid UTF-8"},
        {'f', "data/. .", "", nullptr, "only dots and blanks"},
        {'f', "C:evil", "", nullptr, "colon"},
        {'f', "..\\escape", "", nullptr, "backslash"},
        {'f', "what?.txt", "", nullptr, "Windows"},
        {'f', "data/con.txt", "", nullptr, "device"},
        {'f', " lead.txt", "", nullptr, "start with a blank"},
        {'f', "data/README", "", nullptr, "same on Windows"},
        {'f', "a.txt.", "", nullptr, "same on Windows"},
        {'f', "list.txt", "", nullptr, "collide"},
        {'d', "data/empty ", "", nullptr, "empty folder"},
        {'l', "innocent.txt", "../outside", nullptr, "outside the game folder"},
        {'l', "data/loop", "..", nullptr, "loop"},
        {'l', "dangling", "nowhere", nullptr, "broken link"},
        {'p', "pipe", "", nullptr, "not a regular file"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        TempFolder t;
        const fs::path game = t / "game";
        WriteBytes(game / "a.txt", "a");
        WriteBytes(game / "data" / "readme", "r");
        WriteBytes(t / "outside", "secret");
        ASSERT_EQ(Publish(game, t / "out", 1).code, 0);
        const auto before = Snapshot(t / "out");

        if (row.kind == 'f') WriteBytes(game / row.path, "x");
        if (row.kind == 'd') fs::create_directories(game / row.path);
        if (row.kind == 'l') fs::create_symlink(row.target, game / row.path);
        if (row.kind == 'p') mkfifo((game / row.path).c_str(), 0644);
        WriteBytes(game / "a.txt", "changed, would be recompressed");
        const ToolRun r = Publish(game, t / "out", 2, {"--prune", "--maintenance", "on"});
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("\"" + std::string(row.shown ? row.shown : row.path) + "\""), npos) << r.err;
        EXPECT_NE(r.err.find(row.reason), npos) << r.err;
        EXPECT_NE(r.err.find("nothing was written"), npos) << r.err;
        EXPECT_EQ(Snapshot(t / "out"), before);
    }
}

TEST(Refusals, NonsenseArgumentsGiveUsageAndExitTwoAndCreateNothing) {
    TempFolder t;
    const std::string g = (t / "game").string(), o = (t / "out").string(), base = "--game G --out O --version 1 ";
    WriteBytes(t / "game" / "a", "a");
    for (const std::string& row :
         {std::string(), "--game G --version 1"s, "--game G --out O"s, "--out O --version 1"s, base + "--version 12abc",
          base + "--jobs 0", base + "--frobnicate", base + "--maintenance maybe", base + "--list-name my%list.txt",
          base + "--list-name a --launcher-name A", base + "--expires 7", base + "--sign K --expires 0",
          "--verify O --game G"s, "--verify O --key not-base64"s, "keygen"s, base + "--version"}) {
        std::vector<std::string> args;
        std::istringstream words(row);
        for (std::string w; words >> w;) args.push_back(w == "G" ? g : w == "O" ? o : w);
        const ToolRun r = RunTool(args);
        EXPECT_EQ(r.code, 2) << row;
        EXPECT_NE(r.err.find("usage: veltrune-publish"), npos) << row << "\n" << r.err;
    }
    EXPECT_EQ(Publish(t / "game", t / "game" / "www", 1).code, 1);  // output inside the game folder
    WriteBytes(t / "game" / "no:pe", "x");
    EXPECT_EQ(Publish(t / "game", t / "out", 1).code, 1);
    EXPECT_FALSE(fs::exists(t / "out"));
    EXPECT_FALSE(fs::exists(t / "game" / "www"));
}

}  // namespace
}  // namespace vr::publish::test

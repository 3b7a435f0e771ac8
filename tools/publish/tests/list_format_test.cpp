// The list as the launcher will read it: exact text for a small tree, and a
// tree full of awkward names read back by the launcher's rules.
#include <cstring>
#include <set>

#include "list_format.h"

#include "publish_fixture.h"

namespace vr::publish::test {
namespace {

// The launcher's reading, written out here on its own so that the writer is
// not checked against itself: byte-order mark dropped, lines cut at CR and
// LF, "v " version, "d" folder lines trimmed, "f" lines of blank-separated
// fields whose name runs to the line end.
struct LauncherView {
    int version = -1;
    std::set<std::string> folders;
    struct File {
        int64_t mtime;
        int64_t size;
        bool operator==(const File&) const = default;
    };
    std::map<std::string, File> files;  // relPath with backslashes
};

LauncherView ReadAsLauncher(std::string text) {
    LauncherView view;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    std::string cur;
    std::string line;
    std::vector<std::string> lines;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty()) lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    for (const std::string& l : lines) {
        if (l.size() >= 2 && l[0] == 'v' && l[1] == ' ') {
            if (view.version < 0) view.version = std::atoi(l.c_str() + 2);
        } else if (l[0] == 'd' && (l.size() == 1 || l[1] == ' ')) {
            std::string p = l.size() > 2 ? l.substr(2) : "";
            while (!p.empty() && std::strchr(" \t\r\n", p.front())) p.erase(0, 1);
            while (!p.empty() && std::strchr(" \t\r\n", p.back())) p.pop_back();
            if (!p.empty() && p.back() != '\\') p += '\\';
            cur = p;
            if (!p.empty()) view.folders.insert(p);
        } else if (l.size() >= 2 && l[0] == 'f' && l[1] == ' ') {
            std::istringstream fields(l);
            std::string f, mtime, size, reserved;
            if (!(fields >> f >> mtime >> size >> reserved) || f != "f") continue;
            std::string rest;
            std::getline(fields, rest);
            const size_t start = rest.find_first_not_of(' ');
            if (start == std::string::npos) continue;
            view.files[cur + rest.substr(start)] = {std::strtoll(mtime.c_str(), nullptr, 10),
                                                    std::strtoll(size.c_str(), nullptr, 10)};
        }
    }
    return view;
}

TEST(ListFormat, SmallTreeGivesExactlyTheseLines) {
    TempFolder t;
    const fs::path game = t / "game";
    WriteBytes(game / "readme.txt", "hello\n");
    WriteBytes(game / "data" / "a.bin", "AAAA");
    WriteBytes(game / "data" / "sub" / "b.bin", "");
    fs::create_directories(game / "logs");
    SetMtime(game / "readme.txt", 1700000000);
    SetMtime(game / "data" / "a.bin", 1000);
    SetMtime(game / "data" / "sub" / "b.bin", 1700000002);

    const ToolRun r = Publish(game, t / "out", 29, {"--serial", "41"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The reserved field: SHA-256 of each file's bytes.
    const std::string expected =
        "v 29\n"
        "#hash sha256\n"
        "#serial 41\n"
        "f 1700000000 6 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 readme.txt\n"
        "d data\n"
        "f 1000 4 63c1dd951ffedf6f7fd968ad4efa39b8ed584f162f46e715114ee184f8de9201 a.bin\n"
        "d data\\sub\n"
        "f 1700000002 0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 b.bin\n"
        "d logs\n";
    EXPECT_EQ(Gunzip(t / "out" / "list.txt.gz"), expected);
    // Each object is one member holding the exact bytes, at path + ".gz".
    EXPECT_EQ(Gunzip(t / "out" / "readme.txt.gz"), "hello\n");
    EXPECT_EQ(Gunzip(t / "out" / "data" / "a.bin.gz"), "AAAA");
    EXPECT_EQ(Gunzip(t / "out" / "data" / "sub" / "b.bin.gz"), "");
}

TEST(ListFormat, ListNameAndVersionFollowTheOptions) {
    TempFolder t;
    WriteBytes(t / "game" / "x", "x");
    ASSERT_EQ(Publish(t / "game", t / "out", 2147483647, {"--list-name", "files.lst"}).code, 0);
    EXPECT_FALSE(fs::exists(t / "out" / "list.txt.gz"));
    EXPECT_EQ(ReadAsLauncher(Gunzip(t / "out" / "files.lst.gz")).version, 2147483647);
}

// Names with blanks in every position the format makes hard, non-ASCII
// letters, empty files and folders: the launcher's reading of the list gives
// back every file at its own path with its own size and time.
TEST(ListFormat, AwkwardNamesReadBackAsTheTree) {
    TempFolder t;
    const fs::path game = t / "game";
    const std::vector<std::string> files = {
        "top.txt",
        "inner blank.dat",
        "trailing blank ",
        "Ünïcödé ñame – ✓.txt",
        "日本語/ファイル.bin",
        "sub/ leading blank.txt",
        "sub/two  blanks  inside.txt",
        "sub/deeper/empty.bin",
        "folder with trailing blank /f.txt",
        "a/folder with trailing blank /g.txt",
        "a/b/ leading folder/h.txt",
        "#hash%percent+plus&amp/x=y;z.txt",
    };
    int64_t t0 = 1600000000;
    std::map<std::string, LauncherView::File> expected;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string content =
            files[i].find("empty") != std::string::npos ? "" : std::string(i * 37 + 1, 'a' + static_cast<char>(i));
        WriteBytes(game / files[i], content);
        SetMtime(game / files[i], t0 + static_cast<int64_t>(i) * 1000);
        std::string rel = files[i];
        std::replace(rel.begin(), rel.end(), '/', '\\');
        expected[rel] = {t0 + static_cast<int64_t>(i) * 1000, static_cast<int64_t>(content.size())};
    }
    fs::create_directories(game / "empty folder" / "inside");

    const ToolRun r = Publish(game, t / "out", 7);
    ASSERT_EQ(r.code, 0) << r.err;
    const LauncherView view = ReadAsLauncher(Gunzip(t / "out" / "list.txt.gz"));
    EXPECT_EQ(view.version, 7);
    EXPECT_EQ(view.files, expected);
    // Empty folders are created by their folder lines.
    EXPECT_TRUE(view.folders.count("empty folder\\inside\\"));
    for (const std::string& f : files) {
        EXPECT_EQ(Gunzip(t / "out" / (f + ".gz")), ReadBytes(game / f)) << f;
    }
}

// A list written with CR LF endings and a byte-order mark (by hand, by an
// operator's editor) reads the same through the tool's own reader, which
// --verify relies on.
TEST(ListFormat, ReaderToleratesMarkAndLineEndings) {
    const ParsedList a = ParseList("v 5\nd sub\nf 1 2 x a b.txt\n");
    const ParsedList b = ParseList("\xEF\xBB\xBFv 5\r\n\r\nd  sub \r\nf  1   2 x a b.txt\r\nF 1 2 x no\r\nf 1 2 x\r\n");
    EXPECT_EQ(b.version, 5);
    ASSERT_EQ(a.files.size(), 1u);
    ASSERT_EQ(b.files.size(), 1u);
    EXPECT_EQ(b.files[0].relPath, "sub\\a b.txt");
    EXPECT_EQ(b.files[0].relPath, a.files[0].relPath);
    EXPECT_EQ(b.files[0].size, 2);
}

}  // namespace
}  // namespace vr::publish::test

// Publishing runs: what is reused, how objects are replaced, the launcher and
// the maintenance flag, pruning, and a file larger than any buffer.
#include <fcntl.h>
#include <zlib.h>

#include "crypto.h"
#include "publish_fixture.h"

namespace vr::publish::test {
namespace {

std::vector<std::string> TempNames(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string name = e.path().filename().string();
        if (name.find(".vrpub-tmp") != std::string::npos) found.push_back(name);
    }
    return found;
}

struct Published {
    TempFolder t;
    fs::path game = t / "game";
    fs::path out = t / "out";
    Published() {
        WriteBytes(game / "a.txt", "alpha");
        WriteBytes(game / "data" / "b.bin", std::string(100000, 'b'));
        WriteBytes(game / "data" / "c.bin", "gamma");
        WriteBytes(game / "maps" / "d.map", "delta");
    }
};

TEST(Incremental, UnchangedFilesKeepTheirObjects) {
    Published p;
    ASSERT_EQ(Publish(p.game, p.out, 1).code, 0);
    const auto first = Snapshot(p.out);

    // Content and size change in one file; only the time in another.
    WriteBytes(p.game / "data" / "c.bin", "gamma, longer");
    SetMtime(p.game / "maps" / "d.map", 1234567890);
    const ToolRun r = Publish(p.game, p.out, 1);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("4 files (2 compressed, 2 reused)"), std::string::npos) << r.out;
    const auto second = Snapshot(p.out);
    EXPECT_EQ(second.at("a.txt.gz"), first.at("a.txt.gz"));
    EXPECT_EQ(second.at("data/b.bin.gz"), first.at("data/b.bin.gz"));
    EXPECT_NE(second.at("data/c.bin.gz").inode, first.at("data/c.bin.gz").inode);
    EXPECT_NE(second.at("maps/d.map.gz").inode, first.at("maps/d.map.gz").inode);
    EXPECT_EQ(Gunzip(p.out / "data" / "c.bin.gz"), "gamma, longer");
    EXPECT_NE(Gunzip(p.out / "list.txt.gz").find("f 1234567890 5 "), std::string::npos);

    // Nothing changed: not even the list is rewritten.
    const ToolRun again = Publish(p.game, p.out, 1);
    EXPECT_NE(again.out.find("(0 compressed, 4 reused)"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("list unchanged"), std::string::npos);
    EXPECT_EQ(Snapshot(p.out), second);

    // A new version changes only the list.
    ASSERT_EQ(Publish(p.game, p.out, 2).code, 0);
    const auto third = Snapshot(p.out);
    EXPECT_NE(third.at("list.txt.gz").inode, second.at("list.txt.gz").inode);
    EXPECT_EQ(third.at("data/b.bin.gz"), second.at("data/b.bin.gz"));
}

// The state is only trusted while the object is still the one it wrote.
TEST(Incremental, ObjectsTamperedWithAreMadeAgain) {
    Published p;
    ASSERT_EQ(Publish(p.game, p.out, 1).code, 0);
    fs::remove(p.out / "a.txt.gz");
    WriteBytes(p.out / "data" / "b.bin.gz", "not gzip");
    const ToolRun r = Publish(p.game, p.out, 1);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("(2 compressed, 2 reused)"), std::string::npos) << r.out;
    EXPECT_EQ(Gunzip(p.out / "a.txt.gz"), "alpha");
    EXPECT_EQ(Gunzip(p.out / "data" / "b.bin.gz"), std::string(100000, 'b'));
}

TEST(Atomic, ReplacedObjectsAreNewFilesAndTempNamesVanish) {
    Published p;
    ASSERT_EQ(Publish(p.game, p.out, 1).code, 0);
    const std::string oldMember = ReadBytes(p.out / "data" / "b.bin.gz");
    // A server still sending the old object holds it open: it must go on
    // reading the whole old member, never a mix.
    const int fd = open((p.out / "data" / "b.bin.gz").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // A run that was killed half-way left temporaries behind.
    WriteBytes(p.out / "data" / "c.bin.gz.4242-0.vrpub-tmp", "partial");
    WriteBytes(p.game / "data" / "b.bin", std::string(200000, 'B'));

    ASSERT_EQ(Publish(p.game, p.out, 1).code, 0);
    std::string seen(oldMember.size() + 10, '\0');
    const ssize_t n = pread(fd, seen.data(), seen.size(), 0);
    close(fd);
    ASSERT_EQ(n, static_cast<ssize_t>(oldMember.size()));
    seen.resize(static_cast<size_t>(n));
    EXPECT_EQ(seen, oldMember);
    EXPECT_EQ(Gunzip(p.out / "data" / "b.bin.gz"), std::string(200000, 'B'));
    EXPECT_TRUE(TempNames(p.out).empty());
}

TEST(Atomic, FailedReplacementLeavesNoTempNamesAndKeepsTheList) {
    Published p;
    ASSERT_EQ(Publish(p.game, p.out, 1).code, 0);
    const std::string list = ReadBytes(p.out / "list.txt.gz");
    // The object's place is taken by a folder, so the final rename fails.
    fs::remove(p.out / "maps" / "d.map.gz");
    fs::create_directories(p.out / "maps" / "d.map.gz" / "in-the-way");
    WriteBytes(p.game / "maps" / "d.map", "delta 2");
    WriteBytes(p.game / "a.txt", "alpha 2");
    const ToolRun r = Publish(p.game, p.out, 2);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("d.map.gz"), std::string::npos) << r.err;
    EXPECT_TRUE(TempNames(p.out).empty());
    EXPECT_EQ(ReadBytes(p.out / "list.txt.gz"), list);
}

TEST(Parallel, AnyNumberOfJobsWritesTheSameBytes) {
    TempFolder t;
    for (int i = 0; i < 40; ++i) {
        WriteBytes(t / "game" / ("dir" + std::to_string(i % 5)) / ("f" + std::to_string(i)),
                   std::string(static_cast<size_t>(i) * 3000, static_cast<char>('a' + i % 26)));
    }
    ASSERT_EQ(Publish(t / "game", t / "one", 3, {"--jobs", "1", "--serial", "5"}).code, 0);
    ASSERT_EQ(Publish(t / "game", t / "four", 3, {"--jobs", "4", "--serial", "5"}).code, 0);
    for (const auto& e : fs::recursive_directory_iterator(t / "one")) {
        if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
        const fs::path rel = e.path().lexically_relative(t / "one");
        EXPECT_EQ(ReadBytes(e.path()), ReadBytes(t / "four" / rel)) << rel;
    }
}

// The launcher's rule: the body, trimmed and lower-cased, equals "true".
bool LauncherSeesMaintenance(const std::string& body) {
    std::string s = body;
    while (!s.empty() && std::strchr(" \t\r\n", s.back())) s.pop_back();
    while (!s.empty() && std::strchr(" \t\r\n", s.front())) s.erase(0, 1);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s == "true";
}

TEST(ServerFiles, LauncherAndMaintenanceFlag) {
    Published p;
    WriteBytes(p.t / "Veltrune-build30.exe", "MZ new launcher");
    ToolRun r =
        Publish(p.game, p.out, 30, {"--launcher", (p.t / "Veltrune-build30.exe").string(), "--maintenance", "on"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Gunzip(p.out / "newLauncher.exe.gz"), "MZ new launcher");
    EXPECT_TRUE(LauncherSeesMaintenance(ReadBytes(p.out / "MaintanenceCheck.txt")));

    // The flag alone, without a game folder.
    r = RunTool({"--out", p.out.string(), "--maintenance", "off"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(LauncherSeesMaintenance(ReadBytes(p.out / "MaintanenceCheck.txt")));

    // Other names; a launcher published earlier survives a later run and its pruning.
    r = Publish(p.game, p.out, 30, {"--prune", "--maintenance", "on", "--maint-name", "maint.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Gunzip(p.out / "newLauncher.exe.gz"), "MZ new launcher");
    EXPECT_TRUE(LauncherSeesMaintenance(ReadBytes(p.out / "maint.txt")));
    r = Publish(p.game, p.out, 31,
                {"--launcher", (p.t / "Veltrune-build30.exe").string(), "--launcher-name", "Next.exe"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Gunzip(p.out / "Next.exe.gz"), "MZ new launcher");
}

TEST(Prune, RemovesOnlyObjectsNoLongerListed) {
    Published p;
    ASSERT_EQ(Publish(p.game, p.out, 1).code, 0);
    WriteBytes(p.out / "notes.html", "operator's own file");
    fs::remove_all(p.game / "maps");
    fs::remove(p.game / "data" / "c.bin");

    ASSERT_EQ(Publish(p.game, p.out, 1).code, 0);
    EXPECT_TRUE(fs::exists(p.out / "maps" / "d.map.gz"));  // kept without --prune

    const ToolRun r = Publish(p.game, p.out, 1, {"--prune"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("2 pruned"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(p.out / "maps"));
    EXPECT_FALSE(fs::exists(p.out / "data" / "c.bin.gz"));
    EXPECT_TRUE(fs::exists(p.out / "data" / "b.bin.gz"));
    EXPECT_TRUE(fs::exists(p.out / "a.txt.gz"));
    EXPECT_TRUE(fs::exists(p.out / "list.txt.gz"));
    EXPECT_TRUE(fs::exists(p.out / "notes.html"));
}

// Larger than every buffer on the way, so blocks, the hashes over blocks and
// 64-bit sizes are exercised; generated and deleted with its temp folder.
TEST(LargeFile, HundredMebibytesRoundTrip) {
    TempFolder t;
    const uint64_t size = 100ull << 20;
    uLong crc = crc32(0, nullptr, 0);
    Sha256Hasher sha;
    {
        fs::create_directories(t / "game" / "big");
        std::ofstream f(t / "game" / "big" / "archive.pak", std::ios::binary);
        // Each mebibyte repeats its own 1000 pseudo-random bytes: every block
        // differs, yet compresses quickly on a busy machine.
        std::string block(1 << 20, '\0');
        uint32_t x = 2463534242u;
        for (uint64_t done = 0; done < size; done += block.size()) {
            for (size_t i = 0; i < 1000; ++i) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                block[i] = static_cast<char>(x);
            }
            for (size_t i = 1000; i < block.size(); ++i) block[i] = block[i - 1000];
            crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size()));
            sha.Update(block.data(), block.size());
            f.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    const ToolRun r = Publish(t / "game", t / "out", 1);
    ASSERT_EQ(r.code, 0) << r.err;
    const InflateResult back = InflateFile(t / "out" / "big" / "archive.pak.gz");
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_EQ(back.size, size);
    EXPECT_EQ(back.crc, static_cast<uint32_t>(crc));
    const std::string token = sha.FinishHex();
    EXPECT_EQ(back.sha256, token);
    EXPECT_NE(Gunzip(t / "out" / "list.txt.gz").find(" 104857600 " + token + " archive.pak\n"), std::string::npos);
}

}  // namespace
}  // namespace vr::publish::test

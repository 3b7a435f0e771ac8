// The real tool run as a child process on real folders: the list as the
// launcher reads it, what is reused or replaced, what is refused, keys,
// signed lists and what --verify finds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "crypto.h"
#include "gzip_file.h"
#include "list_format.h"
#include "net/base64.h"
#include "patcher/chunk_index.h"
#include "patcher/freshness.h"

namespace vr::publish {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
constexpr size_t npos = std::string::npos;

struct TempFolder {
    fs::path path = mkdtemp((fs::temp_directory_path() / "vrpub-XXXXXX").string().data());
    TempFolder() = default;
    TempFolder(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path operator/(const std::string& rel) const { return path / rel; }
};

void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const fs::path& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void SetMtime(const fs::path& path, int64_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

std::string Gunzip(const fs::path& object) {
    std::string content;
    const InflateResult r = InflateFile(object, &content);
    EXPECT_TRUE(r.ok) << object << ": " << r.error;
    return content;
}

// Size, time (ns) and inode of everything below a folder: "nothing changed"
// and "replaced by a new file", exactly.
std::map<std::string, std::array<int64_t, 3>> Snapshot(const fs::path& root) {
    std::map<std::string, std::array<int64_t, 3>> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(e.path().c_str(), &st);
        const bool dir = S_ISDIR(st.st_mode);
        out[e.path().lexically_relative(root).string()] = {
            dir ? 0 : st.st_size, dir ? 0 : st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, int64_t(st.st_ino)};
    }
    return out;
}

// Bytes no two seeds share, so every chunk of a file is its own.
std::string Noise(size_t size, uint64_t seed) {
    std::string s(size, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(&s[i], &x, std::min<size_t>(8, size - i));
    }
    return s;
}

// A shell command's exit code and its standard output and error together (a
// pipe, so the tool draws no progress line).
struct Ran {
    int code = -1;
    std::string text;
};

Ran Shell(const std::string& cmd) {
    Ran r;
    FILE* p = popen((cmd + " 2>&1 </dev/null").c_str(), "r");
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.text.append(buf, n);
    const int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }  // test paths hold no quote

Ran Tool(const std::vector<std::string>& args) {
    std::string cmd = Quote(VR_PUBLISH_EXE);
    for (const std::string& a : args) cmd += " " + Quote(a);
    return Shell(cmd);
}

Ran Publish(const fs::path& game, const fs::path& out, int version, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--game", game.string(), "--out", out.string(), "--version", std::to_string(version)});
    return Tool(extra);
}

// Each damage, alone on a fresh copy of the folder as published, is the one
// problem --verify (with the key, when given) finds, and named as `expect`.
struct Damage {
    const char* expect;
    std::function<void()> damage;
};
void ExpectEachFound(const fs::path& out, const std::string& key, const std::vector<Damage>& rows) {
    const fs::path good = out.string() + ".good";
    fs::copy(out, good, fs::copy_options::recursive);
    for (const Damage& row : rows) {
        SCOPED_TRACE(row.expect);
        fs::remove_all(out);
        fs::copy(good, out, fs::copy_options::recursive);
        row.damage();
        std::vector<std::string> args = {"--verify", out.string()};
        if (!key.empty()) args.insert(args.end(), {"--key", key});
        const Ran r = Tool(args);
        EXPECT_EQ(r.code, 1) << r.text;
        EXPECT_NE(r.text.find(row.expect), npos) << r.text;
        EXPECT_NE(r.text.find(": 1 problem(s)"), npos) << r.text;
    }
}

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

    const Ran r = Publish(game, t / "out", 29, {"--serial", "41", "--list-name", "files.lst"});
    ASSERT_EQ(r.code, 0) << r.text;
    const std::string hello = "f 1700000000 6 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 ";
    const std::string empty = "f 1700000000 0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 ";
    EXPECT_EQ(Gunzip(t / "out" / "files.lst.gz"),
              "v 29\n#hash sha256\n#serial 41\n" + hello + "alias.txt\n" + hello +
                  "readme.txt\nd data\n"
                  "f 1700000000 4 63c1dd951ffedf6f7fd968ad4efa39b8ed584f162f46e715114ee184f8de9201 a.bin\n"
                  "d data\\sub\n" +
                  empty + "b.bin\nd logs\nd x\n" + empty + "y \\c.bin\n");
    EXPECT_EQ(Gunzip(t / "out" / "data" / "a.bin.gz"), "AAAA");
    // One member with no name, time 0 and OS 255: both builds write the same bytes.
    const std::string member = ReadBytes(t / "out" / "alias.txt.gz");
    EXPECT_EQ(member.substr(3, 5), std::string(5, '\0'));
    EXPECT_EQ(uint8_t(member[9]), 255);
}

// A server folder published once from a game of four files.
class Runs : public ::testing::Test {
protected:
    void SetUp() override {
        WriteBytes(game / "a.txt", "alpha");
        WriteBytes(game / "data" / "b.bin", std::string(100000, 'b'));
        WriteBytes(game / "data" / "c.bin", "gamma");
        WriteBytes(game / "maps" / "d.map", "delta");
        WriteBytes(t / "new.exe", "MZ new launcher");  // outside the game
        ASSERT_EQ(Publish(game, out, 1).code, 0);
    }
    TempFolder t;
    const fs::path game = t / "game", out = t / "out";
};

TEST_F(Runs, NothingChangedRewritesNothingAndChangedFilesAreReplaced) {
    const auto first = Snapshot(out);
    Ran r = Publish(game, out, 1);
    EXPECT_NE(r.text.find("(0 compressed, 4 reused)"), npos) << r.text;
    EXPECT_NE(r.text.find("list unchanged"), npos) << r.text;
    EXPECT_EQ(Snapshot(out), first);  // not even the list or its freshness object
    // That object names the list; a missing one is written again.
    Freshness f;
    std::string why;
    const std::string fresh = ReadBytes(out / "list.txt.fresh"), list = Gunzip(out / "list.txt.gz");
    ASSERT_TRUE(ParseFreshness(fresh, f, why)) << why;
    EXPECT_EQ(f.serial, ParseList(list).serial);
    EXPECT_EQ(f.listSha256, Sha256Hex(list));
    EXPECT_FALSE(f.hasSig);
    fs::remove(out / "list.txt.fresh");
    EXPECT_NE(Publish(game, out, 1).text.find("list unchanged"), npos);
    EXPECT_EQ(ReadBytes(out / "list.txt.fresh"), fresh);

    // A server still sending the old object keeps reading the whole old member.
    const std::string oldMember = ReadBytes(out / "data" / "c.bin.gz");
    const int fd = open((out / "data" / "c.bin.gz").c_str(), O_RDONLY);
    WriteBytes(game / "data" / "c.bin", "gamma, longer");
    SetMtime(game / "maps" / "d.map", 1234567890);             // same size, another time
    WriteBytes(out / "data" / "b.bin.gz", "not gzip");         // not the object the tool wrote
    WriteBytes(out / "a.txt.gz.4242-0.vrpub-tmp", "partial");  // left by a killed run
    r = Publish(game, out, 1);
    EXPECT_NE(r.text.find("4 files (3 compressed, 1 reused)"), npos) << r.text;
    const auto second = Snapshot(out);
    EXPECT_EQ(second.at("a.txt.gz"), first.at("a.txt.gz"));
    EXPECT_NE(second.at("maps/d.map.gz")[2], first.at("maps/d.map.gz")[2]);
    EXPECT_EQ(Gunzip(out / "data" / "b.bin.gz"), std::string(100000, 'b'));
    EXPECT_EQ(Gunzip(out / "data" / "c.bin.gz"), "gamma, longer");
    EXPECT_FALSE(second.count("a.txt.gz.4242-0.vrpub-tmp"));
    std::string seen(oldMember.size() + 1, '\0');
    EXPECT_EQ(pread(fd, seen.data(), seen.size(), 0), ssize_t(oldMember.size()));
    close(fd);
    EXPECT_EQ(seen.substr(0, oldMember.size()), oldMember);
}

TEST_F(Runs, AReplacementThatCannotTakeItsPlaceFailsTheRunAndTheListStays) {
    const std::string list = ReadBytes(out / "list.txt.gz");
    fs::remove(out / "a.txt.gz");
    fs::create_directories(out / "a.txt.gz" / "in-the-way");
    WriteBytes(game / "a.txt", "alpha 2");
    const Ran r = Publish(game, out, 31);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("a.txt.gz"), npos) << r.text;
    EXPECT_EQ(ReadBytes(out / "list.txt.gz"), list);
    for (const auto& [rel, stamp] : Snapshot(out)) EXPECT_EQ(rel.find(".vrpub-tmp"), npos) << rel;
}

TEST_F(Runs, TheLauncherAndTheFlagAreWrittenAndOnlyPruneRemovesObjectsOfDeletedFiles) {
    WriteBytes(out / "notes.html", "the operator's own file");
    fs::remove_all(game / "maps");
    fs::remove(game / "data" / "c.bin");
    ASSERT_EQ(Publish(game, out, 31, {"--launcher", (t / "new.exe").string(), "--maintenance", "on"}).code, 0);
    EXPECT_EQ(Gunzip(out / "newLauncher.exe.gz"), "MZ new launcher");
    EXPECT_EQ(ReadBytes(out / "MaintanenceCheck.txt"), "true\n");
    EXPECT_EQ(Tool({"--out", out.string(), "--maintenance", "off"}).code, 0);
    EXPECT_EQ(ReadBytes(out / "MaintanenceCheck.txt"), "false\n");
    EXPECT_TRUE(fs::exists(out / "maps" / "d.map.gz"));
    const Ran r = Publish(game, out, 31, {"--prune"});
    EXPECT_NE(r.text.find(", 2 pruned"), npos) << r.text;
    EXPECT_FALSE(fs::exists(out / "maps"));
    EXPECT_FALSE(fs::exists(out / "data" / "c.bin.gz"));
    for (const char* kept :
         {"a.txt.gz", "data/b.bin.gz", "list.txt.gz", "newLauncher.exe.gz", "notes.html", "MaintanenceCheck.txt"})
        EXPECT_TRUE(fs::exists(out / kept)) << kept;
}

TEST(Refusals, EachNameClassLeavesTheOutputUntouched) {
    // kind: f file, d empty folder, l link to `extra`, p fifo. `extra` of a
    // file or folder: its name as the message shows it, when it differs.
    const struct {
        char kind;
        const char* path;
        const char* extra;
        const char* reason;
    } rows[] = {
        {'f', "bad\nname.txt", "bad\\x0Aname.txt", "line break"},
        {'f', "bell\x07.wav", "bell\\x07.wav", "control character"},
        {'f', "c1\xC2\x85.txt", "c1\\xC2\\x85.txt", "control character"},
        {'f', "dir/\xC0\xAE\xC0\xAE", "dir/\\xC0\\xAE\\xC0\\xAE", "not valid UTF-8"},
        {'f', "data/. .", nullptr, "only dots and blanks"},
        {'f', "C:evil", nullptr, "colon"},
        {'f', "..\\escape", nullptr, "backslash"},
        {'f', "what?.txt", nullptr, "Windows"},
        {'f', "data/con.txt", nullptr, "device"},
        {'f', "data/CONOUT$", nullptr, "device"},
        {'f', "Com\xC2\xB9.log", nullptr, "device"},
        {'f', "veltrune.INI", nullptr, "launcher's own settings or log"},
        {'f', "PatcherSettings.ini", nullptr, "launcher's own settings or log"},
        {'f', "Veltrune.log", nullptr, "launcher's own settings or log"},
        {'f', " lead.txt", nullptr, "start with a blank"},
        {'f', "data/README", nullptr, "same on Windows"},
        {'f', "a.txt.", nullptr, "same on Windows"},
        {'f', "list.txt", nullptr, "collide"},
        {'f', "Chunks", nullptr, "collide"},
        {'d', "chunks", "chunks/", "collide"},
        {'f', "data/x.pak.Veltrune-Staged", nullptr, "launcher's name for files it is still checking"},
        {'d', "data/empty ", nullptr, "empty folder"},
        {'l', "innocent.txt", "../outside", "outside the game folder"},
        {'l', "data/loop", "..", "loop"},
        {'l', "dangling", "nowhere", "broken link"},
        {'p', "pipe", nullptr, "not a regular file"},
    };
    for (const auto& row : rows) {
        TempFolder t;
        const fs::path game = t / "game";
        WriteBytes(game / "a.txt", "a");
        WriteBytes(game / "data" / "readme", "r");
        WriteBytes(t / "outside", "secret");
        ASSERT_EQ(Publish(game, t / "out", 1).code, 0);
        const auto before = Snapshot(t / "out");

        const fs::path planted = game / row.path;
        if (row.kind == 'f') WriteBytes(planted, "x");
        if (row.kind == 'd') fs::create_directories(planted);
        if (row.kind == 'l') fs::create_symlink(row.extra, planted);
        if (row.kind == 'p') mkfifo(planted.c_str(), 0644);
        WriteBytes(game / "a.txt", "changed, would be recompressed");
        const Ran r = Publish(game, t / "out", 2, {"--prune", "--maintenance", "on"});
        EXPECT_EQ(r.code, 1) << row.reason;
        EXPECT_NE(r.text.find("\""s + (row.extra && row.kind != 'l' ? row.extra : row.path) + "\""), npos) << r.text;
        EXPECT_NE(r.text.find(row.reason), npos) << r.text;
        EXPECT_NE(r.text.find("nothing was written"), npos) << r.text;
        EXPECT_EQ(Snapshot(t / "out"), before) << row.reason;
    }
}

TEST(Refusals, NonsenseArgumentsGiveUsageAndExitTwoAndCreateNothing) {
    TempFolder t;
    const std::string g = (t / "game").string(), o = (t / "out").string(), base = "--game G --out O --version 1 ";
    WriteBytes(t / "game" / "a", "a");
    for (const std::string& row :
         {""s, "--game G --version 1"s, "--game G --out O"s, "--out O --version 1"s, base + "--version 12abc",
          base + "--jobs 0", base + "--frobnicate", base + "--maintenance maybe", base + "--list-name my%list.txt",
          base + "--list-name a --launcher-name A", base + "--expires 7", base + "--sign K --expires 0",
          base + "--sign K --serial 1000000000000000000", base + "--no-expires",
          base + "--sign K --expires 7 --no-expires",
          "--verify O --game G"s, "--verify O --key not-base64"s, "keygen"s, base + "--version"}) {
        std::vector<std::string> args;
        std::istringstream words(row);
        for (std::string w; words >> w;) args.push_back(w == "G" ? g : w == "O" ? o : w);
        const Ran r = Tool(args);
        EXPECT_EQ(r.code, 2) << row;
        EXPECT_NE(r.text.find("usage: veltrune-publish"), npos) << row << "\n" << r.text;
    }
    EXPECT_EQ(Publish(t / "game", t / "game" / "www", 1).code, 1);  // output inside the game folder
    WriteBytes(t / "game" / "no:pe", "x");
    EXPECT_EQ(Publish(t / "game", t / "out", 1).code, 1);
    EXPECT_FALSE(fs::exists(t / "out"));
    EXPECT_FALSE(fs::exists(t / "game" / "www"));
}

// A keygen key, a game folder with a file of several read blocks, and a
// replacement launcher.
struct Signed {
    TempFolder t;
    fs::path game = t / "game", out = t / "out", key = t / "list.key";
    std::string pub, big = Noise(600000, 7);
    Signed() {
        WriteBytes(game / "a.txt", "alpha");
        WriteBytes(game / "empty", "");
        WriteBytes(game / "sub dir" / "big.bin", big);
        WriteBytes(t / "new.exe", "MZ new launcher");
        pub = Shell(Quote(VR_PUBLISH_EXE) + " keygen --out " + Quote(key.string()) + " 2>/dev/null; true").text;
        pub.pop_back();  // the line feed
    }
    Ran Sign(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--sign", key.string()});
        return Publish(game, out, 12, extra);
    }
    std::string List() { return Gunzip(out / "list.txt.gz"); }
    int64_t Serial() { return ParseList(List()).serial; }
};

TEST(Keys, KeygenNeverReplacesAKeyAndOnlyP256PrivateKeysSign) {
    Signed s;
    struct stat st;
    ASSERT_EQ(stat(s.key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string before = ReadBytes(s.key);
    EXPECT_EQ(Tool({"keygen", "--out", s.key.string()}).code, 1);
    EXPECT_EQ(ReadBytes(s.key), before);  // never replaced

    const std::string file = Quote((s.t / "k.pem").string());
    const std::pair<std::string, std::string> keys[] = {
        {"openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out", ""},  // PKCS#8
        {"openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out", "wrong key type"},
        {"openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out", "another curve"},
        {"openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes-128-cbc -pass pass:x -out", "encrypted"},
        {"openssl pkey -in " + Quote(s.key.string()) + " -pubout -out", "public key"},  // openssl reads keygen's
        {"echo 'not a key' >", "not a PEM key file"},
    };
    for (const auto& [make, why] : keys) {
        fs::remove(s.t / "k.pem");
        fs::remove_all(s.out);
        Shell(make + " " + file);
        const Ran r = Publish(s.game, s.out, 1, {"--sign", (s.t / "k.pem").string()});
        EXPECT_EQ(r.code, why.empty() ? 0 : 1) << make << "\n" << r.text;
        EXPECT_NE(r.text.find(why), npos) << r.text;
        EXPECT_EQ(fs::exists(s.out), why.empty()) << make;
    }
}

TEST(SignedList, CommentLinesComeInOrderAndTheSerialGrows) {
    Signed s;
    const int64_t before = std::time(nullptr);
    ASSERT_EQ(s.Sign({"--expires", "7", "--launcher", (s.t / "new.exe").string()}).code, 0);
    const std::string list = s.List();
    const ParsedList parsed = ParseList(list);
    EXPECT_EQ(list.rfind("v 12\n#hash sha256\n#serial " + std::to_string(parsed.serial) + "\n#expires ", 0), 0u);
    EXPECT_GE(parsed.serial, before);
    EXPECT_GE(parsed.expires, before + 7 * 86400);
    EXPECT_LE(parsed.expires, std::time(nullptr) + 7 * 86400);
    EXPECT_NE(list.find("\n#launcher " + Sha256Hex("MZ new launcher") + " 15\nf "), npos) << list;
    EXPECT_NE(list.find(" 600000 " + Sha256Hex(s.big) + " big.bin\n#sig "), npos) << list;
    const Ran v = Tool({"--verify", s.out.string(), "--key", s.pub});
    EXPECT_EQ(v.code, 0) << v.text;
    EXPECT_NE(v.text.find("signature valid"), npos) << v.text;
    EXPECT_NE(v.text.find("verified 4 objects of version 12: 0 problem(s)"), npos) << v.text;
    // Beside it, the freshness object naming it, signed with the same key.
    Freshness f;
    std::string why, sig, point;
    const std::string fresh = ReadBytes(s.out / "list.txt.fresh");
    ASSERT_TRUE(ParseFreshness(fresh, f, why)) << why;
    EXPECT_EQ(f.serial, parsed.serial);
    EXPECT_EQ(f.listSha256, Sha256Hex(list));
    EXPECT_EQ(f.expires, parsed.expires);
    ASSERT_TRUE(f.hasSig);
    ASSERT_TRUE(DecodeBase64(f.sigBase64, sig));
    ASSERT_TRUE(DecodeBase64(s.pub, point));
    EXPECT_TRUE(VerifyMessage(point, fresh.substr(0, f.signedBytes), sig));

    // An unchanged run with the same key keeps the list; a change in the same
    // second, another key or no key rewrites it with a greater serial.
    const int64_t first = s.Serial();
    // Without --expires a signed list lives a month, and says so.
    const int64_t beforeDefault = std::time(nullptr);
    const Ran month = s.Sign();
    EXPECT_NE(month.text.find(", expires 20"), npos) << month.text;
    EXPECT_GE(ParseList(s.List()).expires, beforeDefault + 30 * 86400);
    EXPECT_LE(ParseList(s.List()).expires, std::time(nullptr) + 30 * 86400);
    EXPECT_NE(s.Sign({"--no-expires"}).text.find("list written"), npos);  // the expiry goes
    const Ran same = s.Sign({"--no-expires"});
    EXPECT_NE(same.text.find("list unchanged"), npos);
    EXPECT_NE(same.text.find("signed, no expiry"), npos) << same.text;
    EXPECT_FALSE(ParseList(s.List()).hasExpires);
    const int64_t kept = s.Serial();
    EXPECT_GT(kept, first);
    WriteBytes(s.game / "a.txt", "alpha 2");
    ASSERT_EQ(s.Sign().code, 0);
    EXPECT_GT(s.Serial(), kept);
    ASSERT_EQ(Tool({"keygen", "--out", (s.t / "new.key").string()}).code, 0);
    EXPECT_NE(Publish(s.game, s.out, 12, {"--sign", (s.t / "new.key").string()}).text.find("list written"), npos);
    EXPECT_NE(Publish(s.game, s.out, 12).text.find("list written"), npos);
    EXPECT_FALSE(ParseList(s.List()).hasSignature);
    EXPECT_NE(s.Sign({"--serial", "5"}).text.find("warning: serial 5 is not above"), npos);  // allowed, warned
    EXPECT_EQ(s.Serial(), 5);
    // The largest serial launchers read; nothing can follow it by itself.
    ASSERT_EQ(s.Sign({"--serial", "999999999999999999"}).code, 0);
    EXPECT_EQ(Tool({"--verify", s.out.string(), "--key", s.pub}).code, 0);
    WriteBytes(s.game / "a.txt", "alpha 3");
    EXPECT_NE(s.Sign().text.find("the published serial is the highest launchers read"), npos);
}

// --verify reads names and signed lines by the launcher's own rules: what a
// launcher would refuse or misread is a problem of the list, signed or not.
TEST(Verify, NamesAndSignedLinesAsTheLauncherReadsThem) {
    TempFolder t;
    WriteBytes(t / "game" / "a.txt", "alpha");
    ASSERT_EQ(Publish(t / "game", t / "out", 3).code, 0);
    const std::string list = Gunzip(t / "out" / "list.txt.gz");
    // The list with `from` replaced; a renamed file's object goes with it.
    const auto edit = [&](std::string from, std::string to) {
        return [&, from, to] {
            std::string changed = list;
            changed.replace(changed.find(from), from.size(), to);
            WriteBytes(t / "out" / "list.txt.gz", GzipBytes(changed, 6));
            if (from == " a.txt\n")
                fs::copy_file(t / "out" / "a.txt.gz", t / "out" / (to.substr(1, to.size() - 2) + ".gz"));
        };
    };
    const std::vector<Damage> rows = {
        {"\"CON.dat.gz\": unsafe path in the list", edit(" a.txt\n", " CON.dat\n")},
        {"\"conin$.gz\": unsafe path in the list", edit(" a.txt\n", " conin$\n")},
        {"\"Veltrune.INI.gz\": the launcher's own file", edit(" a.txt\n", " Veltrune.INI\n")},
        {"malformed line \"#serial 1234567890123456789\"", edit("#serial ", "#serial 1234567890123456789\n#serial ")},
        {"malformed line \"#launcher abc 5\"", edit("#hash sha256\n", "#hash sha256\n#launcher abc 5\n")},
    };
    ExpectEachFound(t / "out", "", rows);
}

TEST(Verify, FindsEachKindOfDamage) {
    Signed s;
    ASSERT_EQ(s.Sign({"--launcher", (s.t / "new.exe").string()}).code, 0);
    // A file's bytes, or its content (inflated, then gzipped again), changed.
    using Change = std::function<std::string(std::string)>;
    const auto bytes = [&](const char* file, Change change) {
        return [&s, file, change] { WriteBytes(s.out / file, change(ReadBytes(s.out / file))); };
    };
    const auto content = [&](const char* file, Change change) {
        return [&s, file, change] { WriteBytes(s.out / file, GzipBytes(change(Gunzip(s.out / file)), 6)); };
    };
    const std::vector<Damage> rows = {
        {"truncated gzip member",
         bytes("sub dir/big.bin.gz", [](std::string m) { return m.substr(0, m.size() - 12); })},
        {"cannot open", [&] { fs::remove(s.out / "empty.gz"); }},
        {"data after the gzip member", bytes("a.txt.gz", [](std::string m) { return m + "junk"; })},
        {"content differs from the list (SHA-256", content("a.txt.gz", [](std::string) { return "omega"; })},
        {"the list says 0", content("empty.gz", [](std::string) { return "x"; })},
        {"newLauncher.exe.gz", content("newLauncher.exe.gz", [](std::string) { return "MZ bad launcher"; })},
        {"does not match the key",
         content("list.txt.gz", [](std::string l) { return l.replace(l.find("\nf ") + 3, 1, "9"); })},
        {"not signed", content("list.txt.gz", [](std::string l) { return l.substr(0, l.rfind("#sig ")); })},
        {"lines follow the #sig line", content("list.txt.gz", [](std::string l) { return l + "# added later\n"; })},
    };
    ExpectEachFound(s.out, s.pub, rows);
}

// A published folder with one file just above the chunking threshold.
struct Chunked {
    TempFolder t;
    fs::path game = t / "game", out = t / "out";
    std::string big = Noise((17u << 20) + 12345, 1);
    Chunked() {
        WriteBytes(game / "a.txt", "small, never chunked");
        WriteBytes(game / "data" / "big.pak", big);
    }
    Ran Run(std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"--level", "1"});
        return Publish(game, out, 3, extra);
    }
    Ran Verify() { return Tool({"--verify", out.string()}); }
    ParsedList::Chunked Line() {
        const ParsedList list = ParseList(Gunzip(out / "list.txt.gz"));
        EXPECT_EQ(list.chunked.size(), 1u);
        return list.chunked.at(0);
    }
    ChunkIndex Index(const std::string& indexSha) {
        ChunkIndex index;
        std::string why;
        EXPECT_TRUE(ParseChunkIndex(Gunzip(out / (IndexObjectPath(indexSha) + ".gz")), index, why)) << why;
        return index;
    }
    // What a launcher with only the chunks would put together.
    std::string Reassemble(const ChunkIndex& index) {
        std::string file;
        for (const ChunkEntry& c : index.chunks) file += Gunzip(out / (ChunkObjectPath(c.sha256) + ".gz"));
        return file;
    }
    std::set<std::string> ChunkFiles() {
        std::set<std::string> names;
        for (const auto& [rel, stamp] : Snapshot(out / "chunks"))
            if (rel.size() > 3 && rel.substr(rel.size() - 3) == ".gz") names.insert(rel);
        return names;
    }
};

TEST(Chunks, AnInsertionNearTheStartWritesOnlyTheChunksAroundIt) {
    Chunked c;
    Ran r = c.Run();
    ASSERT_EQ(r.code, 0) << r.text;
    const auto [fileSha, indexSha] = c.Line();
    EXPECT_EQ(fileSha, Sha256Hex(c.big));
    const std::string list = Gunzip(c.out / "list.txt.gz");
    EXPECT_NE(list.find("\n#chunks " + fileSha + " " + indexSha + "\nf "), npos) << list;  // among the # lines
    const ChunkIndex first = c.Index(indexSha);
    EXPECT_EQ(first.fileSize, c.big.size());
    EXPECT_GT(first.chunks.size(), 8u);
    EXPECT_EQ(c.Reassemble(first), c.big);
    EXPECT_EQ(Gunzip(c.out / "data" / "big.pak.gz"), c.big);  // older launchers still patch
    const auto before = Snapshot(c.out / "chunks");
    const size_t objects = c.ChunkFiles().size();

    c.big.insert(70000, "a few new bytes");
    WriteBytes(c.game / "data" / "big.pak", c.big);
    r = c.Run();
    ASSERT_EQ(r.code, 0) << r.text;
    const ChunkIndex second = c.Index(c.Line().indexSha256);
    EXPECT_EQ(c.Reassemble(second), c.big);
    EXPECT_EQ(Gunzip(c.out / "data" / "big.pak.gz"), c.big);
    size_t reused = 0;
    for (const ChunkEntry& e : second.chunks)
        reused += std::count_if(first.chunks.begin(), first.chunks.end(),
                                [&](const ChunkEntry& o) { return o.sha256 == e.sha256; }) > 0;
    EXPECT_GE(reused, second.chunks.size() - 2);
    const size_t written = second.chunks.size() - reused;
    EXPECT_NE(r.text.find(std::to_string(written) + " chunks written"), npos) << r.text;
    // Every earlier chunk and index is the very file it was: nothing rewritten.
    const auto after = Snapshot(c.out / "chunks");
    for (const auto& [rel, stamp] : before) EXPECT_EQ(after.at(rel), stamp) << rel;
    EXPECT_EQ(c.ChunkFiles().size(), objects + written + 1) << r.text;  // the new chunks and index
}

TEST(Chunks, VerifyFindsDamagedChunksAndTamperedIndexes) {
    Chunked c;
    ASSERT_EQ(c.Run().code, 0);
    const std::string indexSha = c.Line().indexSha256;
    const ChunkIndex index = c.Index(indexSha);
    const fs::path chunk1 = c.out / (ChunkObjectPath(index.chunks[1].sha256) + ".gz");
    const fs::path indexFile = c.out / (IndexObjectPath(indexSha) + ".gz");
    const std::vector<Damage> rows = {
        {"content differs from its name", [&] { WriteBytes(chunk1, GzipBytes(Noise(index.chunks[1].size, 9), 1)); }},
        {"cannot open", [&] { fs::remove(chunk1); }},
        {"the index says", [&] { WriteBytes(chunk1, GzipBytes(Gunzip(chunk1) + "x", 1)); }},
        {"content differs from its name",
         [&] {
             std::string text = Gunzip(indexFile);
             text.replace(text.find("\nc ") + 3, 1, "9");
             WriteBytes(indexFile, GzipBytes(text, 1));
         }},
        // The same file compressed again without the flushes: ranges of it
        // would not inflate on their own.
        {"is not at the place its index gives",
         [&] { WriteBytes(c.out / "data" / "big.pak.gz", GzipBytes(c.big, 1)); }},
        // A well-formed index under its own name, with two chunks swapped,
        // named by an edited (unsigned) list: each chunk is right, the file not.
        {"reassemble to SHA-256",
         [&] {
             ChunkIndex swapped = index;
             std::swap(swapped.chunks[0], swapped.chunks[1]);
             std::swap(swapped.chunks[0].wholeAt, swapped.chunks[1].wholeAt);  // places stay in order
             const std::string text = FormatChunkIndex(swapped), sha = Sha256Hex(text);
             WriteBytes(c.out / (IndexObjectPath(sha) + ".gz"), GzipBytes(text, 1));
             std::string list = Gunzip(c.out / "list.txt.gz");
             list.replace(list.find(indexSha), 64, sha);
             WriteBytes(c.out / "list.txt.gz", GzipBytes(list, 1));
         }},
    };
    ExpectEachFound(c.out, "", rows);
}

TEST(Chunks, EachRunPrunesChunksThatNeitherItsListNorTheKeptListsName) {
    Chunked c;
    std::vector<std::set<std::string>> published;  // chunk and index files per list
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        WriteBytes(c.game / "data" / "big.pak", Noise((17u << 20) + 12345, seed));
        const Ran r = c.Run({"--keep", "2", "--chunks-only"});
        ASSERT_EQ(r.code, 0) << r.text;
        const auto [fileSha, indexSha] = c.Line();
        std::set<std::string> files = {"ix/" + indexSha + ".gz"};
        for (const ChunkEntry& e : c.Index(indexSha).chunks)
            files.insert(ChunkObjectPath(e.sha256).substr(7) + ".gz");  // below chunks/
        published.push_back(files);
    }
    // The current list and the two before it keep theirs; the first list's go.
    std::set<std::string> expected;
    for (size_t i = 1; i < 4; ++i) expected.insert(published[i].begin(), published[i].end());
    EXPECT_EQ(c.ChunkFiles(), expected);
    EXPECT_EQ(c.Verify().code, 0);

    // Pruning of whole objects never takes chunks; --keep 0 leaves the current list's only.
    const Ran r = c.Run({"--keep", "0", "--prune", "--chunks-only"});
    EXPECT_NE(
        r.text.find(std::to_string(published[1].size() + published[2].size() - 2) + " pruned; 2 index(es) pruned"),
        npos)
        << r.text;
    EXPECT_EQ(c.ChunkFiles(), published[3]);
    EXPECT_EQ(c.Verify().code, 0);
}

TEST(Chunks, ChunksOnlyDropsTheBigWholeObjectWithAWarningAndStillVerifies) {
    Chunked c;
    ASSERT_EQ(c.Run().code, 0);
    const auto chunks = c.ChunkFiles();
    fs::remove(c.out / "chunks" / *chunks.begin());  // a chunk, by hand: made again, though the file is unchanged
    Ran r = c.Run({"--chunks-only"});
    ASSERT_EQ(r.code, 0) << r.text;
    EXPECT_NE(r.text.find("launchers without chunk support cannot patch them"), npos) << r.text;
    EXPECT_FALSE(fs::exists(c.out / "data" / "big.pak.gz"));
    EXPECT_TRUE(fs::exists(c.out / "a.txt.gz"));
    // The same chunks; the index is a new one, since it no longer names
    // places in a whole object.
    const auto without = [](std::set<std::string> files) {
        std::erase_if(files, [](const std::string& f) { return f.rfind("ix/", 0) == 0; });
        return files;
    };
    EXPECT_EQ(without(c.ChunkFiles()), without(chunks));
    r = c.Verify();
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_NE(r.text.find("0 problem(s)"), npos) << r.text;
    // Back to the default: the whole object is made again from the same file.
    ASSERT_EQ(c.Run().code, 0);
    EXPECT_EQ(Gunzip(c.out / "data" / "big.pak.gz"), c.big);
}

}  // namespace
}  // namespace vr::publish

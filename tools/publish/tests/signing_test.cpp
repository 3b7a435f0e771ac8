// Keys, signed lists and --verify: keygen's file is openssl's, openssl's keys
// sign, the serial grows, and every kind of damage or foreign key is found.
#include <ctime>
#include <functional>

#include "crypto.h"
#include "key_file.h"
#include "list_format.h"
#include "net/base64.h"
#include "publish_fixture.h"

namespace vr::publish::test {
namespace {

std::string Shell(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

struct Signed {
    TempFolder t;
    fs::path game = t / "game", out = t / "out", key = t / "list.key";
    std::string pub, big = std::string(600000, '\0');  // several read blocks, each different
    Signed() {
        for (size_t i = 0; i < big.size(); ++i) big[i] = char((i * 2654435761u) >> 13);
        WriteBytes(game / "a.txt", "alpha");
        WriteBytes(game / "empty", "");
        WriteBytes(game / "sub dir" / "big.bin", big);
        WriteBytes(t / "new.exe", "MZ new launcher");
        const ToolRun k = RunTool({"keygen", "--out", key.string()});
        pub = k.out.substr(0, k.out.find('\n'));
    }
    ToolRun Sign(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--sign", key.string()});
        return Publish(game, out, 12, extra);
    }
    ToolRun Verify(const std::string& withKey) {
        if (withKey.empty()) return RunTool({"--verify", out.string()});
        return RunTool({"--verify", out.string(), "--key", withKey});
    }
    std::string List() { return Gunzip(out / "list.txt.gz"); }
    void SetList(const std::string& text) { WriteBytes(out / "list.txt.gz", GzipBytes(text, 6)); }
};

TEST(Keys, KeygenWritesAKeyOpensslReadsAndOnlyP256PrivateKeysSign) {
    Signed s;
    struct stat st;
    ASSERT_EQ(stat(s.key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string point;
    ASSERT_TRUE(DecodeBase64(s.pub, point)) << s.pub;
    const std::string der = Shell("openssl pkey -in " + ShellQuote(s.key.string()) + " -pubout -outform DER");
    ASSERT_GE(der.size(), 64u);
    EXPECT_EQ(der.substr(der.size() - 64), point);
    const std::string before = ReadBytes(s.key);
    EXPECT_EQ(RunTool({"keygen", "--out", s.key.string()}).code, 1);
    EXPECT_EQ(ReadBytes(s.key), before);  // never replaced

    const std::string file = ShellQuote((s.t / "k.pem").string());
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out", ""},  // PKCS#8
        {"openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out", "wrong key type"},
        {"openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out", "another curve"},
        {"openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes-128-cbc -pass pass:x -out", "encrypted"},
        {"openssl pkey -in " + ShellQuote(s.key.string()) + " -pubout -out", "public key"},
        {"echo 'not a key' >", "not a PEM key file"},
    };
    for (const auto& [make, why] : keys) {
        fs::remove(s.t / "k.pem");
        fs::remove_all(s.out);
        Shell(make + " " + file + " 2>/dev/null");
        const ToolRun r = Publish(s.game, s.out, 1, {"--sign", (s.t / "k.pem").string()});
        EXPECT_EQ(r.code, why.empty() ? 0 : 1) << make << "\n" << r.err;
        EXPECT_NE(r.err.find(why), npos) << r.err;
        EXPECT_EQ(fs::exists(s.out), why.empty()) << make;
    }
}

TEST(SignedList, CommentLinesComeInOrderAndTheSignatureCoversEverythingBefore) {
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
    EXPECT_EQ(Gunzip(s.out / "sub dir" / "big.bin.gz"), s.big);
    const ToolRun v = s.Verify(s.pub);
    EXPECT_EQ(v.code, 0) << v.err;
    EXPECT_NE(v.out.find("signature valid"), npos) << v.out;
    EXPECT_NE(v.out.find("verified 4 objects of version 12: 0 problem(s)"), npos) << v.out;
}

TEST(SignedList, SerialGrowsAndAnUnchangedRunKeepsTheList) {
    Signed s;
    ASSERT_EQ(s.Sign().code, 0);
    const int64_t first = ParseList(s.List()).serial;
    EXPECT_NE(s.Sign().out.find("list unchanged"), npos);
    EXPECT_EQ(ParseList(s.List()).serial, first);

    WriteBytes(s.game / "a.txt", "alpha 2");  // within the same second still moves it on
    ASSERT_EQ(s.Sign().code, 0);
    const int64_t second = ParseList(s.List()).serial;
    EXPECT_GT(second, first);
    ASSERT_EQ(RunTool({"keygen", "--out", (s.t / "new.key").string()}).code, 0);
    EXPECT_NE(Publish(s.game, s.out, 12, {"--sign", (s.t / "new.key").string()}).out.find("list written"), npos);
    EXPECT_GT(ParseList(s.List()).serial, second);
    EXPECT_NE(Publish(s.game, s.out, 12).out.find("list written"), npos);
    EXPECT_FALSE(ParseList(s.List()).hasSignature);

    const ToolRun back = s.Sign({"--serial", "5"});  // allowed, with a warning
    EXPECT_NE(back.err.find("warning: serial 5 is not above"), npos) << back.err;
    EXPECT_EQ(ParseList(s.List()).serial, 5);
}

TEST(Verify, FindsEachKindOfDamageAndForeignKeys) {
    const auto flip = [](const fs::path& f) {
        std::string m = ReadBytes(f);
        m[m.size() / 2] ^= 0x55;
        WriteBytes(f, m);
    };
    const struct {
        const char* expect;
        std::function<void(Signed&)> damage;
        bool withKey;
    } rows[] = {
        {"corrupt", [&](Signed& s) { flip(s.out / "sub dir" / "big.bin.gz"); }, false},
        {"truncated gzip member",
         [](Signed& s) {
             const std::string m = ReadBytes(s.out / "sub dir" / "big.bin.gz");
             WriteBytes(s.out / "sub dir" / "big.bin.gz", m.substr(0, m.size() - 12));
         },
         false},
        {"cannot open", [](Signed& s) { fs::remove(s.out / "empty.gz"); }, false},
        {"data after the gzip member",
         [](Signed& s) { WriteBytes(s.out / "a.txt.gz", ReadBytes(s.out / "a.txt.gz") + "junk"); }, false},
        {"content differs from the list (SHA-256",
         [](Signed& s) { WriteBytes(s.out / "a.txt.gz", GzipBytes("omega", 6)); }, false},
        {"the list says 0", [](Signed& s) { WriteBytes(s.out / "empty.gz", GzipBytes("x", 6)); }, false},
        {"newLauncher.exe.gz", [](Signed& s) { WriteBytes(s.out / "newLauncher.exe.gz", GzipBytes("MZ bad launcher", 6)); },
         false},
        {"does not match the key", [](Signed& s) { s.SetList(s.List().replace(s.List().find("\nf ") + 3, 1, "9")); },
         true},
        {"not signed", [](Signed& s) { s.SetList(s.List().substr(0, s.List().rfind("#sig "))); }, true},
        {"lines follow the #sig line", [](Signed& s) { s.SetList(s.List() + "# added later\n"); }, true},
        {"does not match the key",
         [](Signed& s) {
             fs::remove(s.key);
             s.pub = RunTool({"keygen", "--out", s.key.string()}).out.substr(0, 88);
         },
         true},
        {"expired at 2001-09-09 01:46 UTC",
         [](Signed& s) {
             SigningKey key;
             std::string error, sig, list = s.List();
             ASSERT_TRUE(LoadSigningKey(s.key, key, error)) << error;
             list = list.substr(0, list.rfind("#sig ")).insert(list.find('\n') + 1, "#expires 1000000000\n");
             ASSERT_TRUE(SignMessage(key, list, sig, error)) << error;
             s.SetList(AppendSignature(list, EncodeBase64(sig)));
         },
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expect);
        Signed s;
        ASSERT_EQ(s.Sign({"--launcher", (s.t / "new.exe").string()}).code, 0);
        row.damage(s);
        const ToolRun r = s.Verify(row.withKey ? s.pub : "");
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find(row.expect), npos) << r.err;
        EXPECT_NE(r.out.find(": 1 problem(s)"), npos) << r.out;
    }
    Signed s;
    s.Sign();
    WriteBytes(s.out / "list.txt.gz", "plain text, not gzip");
    EXPECT_EQ(s.Verify("").code, 1);
}

}  // namespace
}  // namespace vr::publish::test

// A list with every line the publishing tool adds for signed publishing
// (#hash, #serial, #expires, #launcher, #sig, and SHA-256 in the reserved
// field) is read by today's scan exactly like the same list without them:
// launchers that know nothing of signing keep patching from it.
#include <gtest/gtest.h>

#include "patch_fixture.h"
#include "patcher/patch_list.h"

namespace vr {
namespace {

using test::TempDir;

const char* const kSha1 = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";
const char* const kSha2 = "63c1dd951ffedf6f7fd968ad4efa39b8ed584f162f46e715114ee184f8de9201";

std::string Body(const std::string& token1, const std::string& token2, const std::string& version = "29") {
    return "v " + version + "\n" + "f 1700000000 6 " + token1 +
           " readme.txt\n"
           "d data\n"
           "f 1000 4 " +
           token2 +
           " a.bin\n"
           "f 1000 6 " +
           token1 +
           " current.bin\n"
           "d data\\sub dir\n"
           "f 1700000002 4 " +
           token2 +
           " b b.bin\n"
           "d empty\n"
           "d\n"
           "f 5 6 " +
           token1 + " last.txt\n";
}

// The same files as the tool writes them when signing: its comment lines
// after the version line and the signature as the last line.
std::string Signed(const std::string& version = "29") {
    std::string body = Body(kSha1, kSha2, version);
    const size_t afterVersion = body.find('\n') + 1;
    body.insert(afterVersion,
                std::string("#hash sha256\n#serial 1796600000\n#expires 1797204800\n#launcher ") + kSha2 + " 4\n");
    return body + "#sig 060VeG/ULg2lMT1eE1KcravnPPwPOHSFrdyxa4J/pB1sYpe8yice6OKr/k9wBiAOaLrh5bLJjqqQnA+CfkBtOQ==\n";
}

struct Seen {
    bool outOfDate;
    int serverVersion;
    std::vector<std::pair<std::wstring, int64_t>> queue;
    std::vector<bool> folders;  // data, data\sub dir, empty
    bool operator==(const Seen&) const = default;
};

// Each scan in its own fresh game folder, with the same current file in it.
Seen ScanFresh(const std::string& list) {
    TempDir dir;
    dir.Write(L"data\\current.bin", "AAAAAA");
    test::SetUnixMtime(dir.Join(L"data\\current.bin"), 1000);
    const ListScan scan = ScanPatchList(list, dir.path() + L"\\", 29);
    Seen seen{scan.outOfDate, scan.serverVersion, {}, {}};
    for (const PendingFile& p : scan.queue) seen.queue.emplace_back(p.relPath, p.mtime);
    for (const wchar_t* f : {L"data", L"data\\sub dir", L"empty"}) seen.folders.push_back(dir.Exists(f));
    return seen;
}

TEST(SignedListScan, AdditionsChangeNothingForTodaysScan) {
    const Seen plain = ScanFresh(Body("x", "-"));
    // What the plain list means, so that "equal" is not "equally empty".
    ASSERT_FALSE(plain.outOfDate);
    const std::vector<std::pair<std::wstring, int64_t>> expected = {
        {L"readme.txt", 1700000000}, {L"data\\a.bin", 1000}, {L"data\\sub dir\\b b.bin", 1700000002}, {L"last.txt", 5}};
    EXPECT_EQ(plain.queue, expected);
    EXPECT_EQ(plain.folders, (std::vector<bool>{true, true, true}));

    EXPECT_EQ(ScanFresh(Body(kSha1, kSha2)), plain);
    EXPECT_EQ(ScanFresh(Signed()), plain);
    std::string crlf = "\xEF\xBB\xBF";
    for (char c : Signed()) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(ScanFresh(crlf), plain);
}

TEST(SignedListScan, VersionCheckIsUnchangedBySignedLines) {
    const Seen plain = ScanFresh(Body("x", "-", "30"));
    ASSERT_TRUE(plain.outOfDate);
    EXPECT_EQ(plain.serverVersion, 30);
    EXPECT_EQ(ScanFresh(Signed("30")), plain);
}

}  // namespace
}  // namespace vr

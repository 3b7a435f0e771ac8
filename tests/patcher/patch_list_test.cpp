// The list as the launcher reads it: lines, the up-to-date check, unsafe paths,
// and the signed lines judged (real signatures: publish_roundtrip).
#include "patcher/patch_list.h"

#include <gtest/gtest.h>

#include "patcher/list_trust.h"
#include "patcher/patcher.h"
#include "support/file_times.h"
#include "support/list_signer.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr {
namespace {

std::string Crlf(const std::string& lf) {
    std::string out = "\xEF\xBB\xBF";
    for (char c : lf) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

class ListScanTest : public ::testing::Test {
protected:
    std::vector<std::wstring> Scan(const std::string& list) {
        std::vector<std::wstring> out;
        for (const auto& f : ScanPatchList(list, dir.path() + L"\\", 29).queue) out.push_back(f.relPath);
        return out;
    }
    test::TempDir dir;
};

TEST_F(ListScanTest, CurrentMeansTheListedSizeAndATimeWithinTwoSeconds) {
    const std::string twelve = "0123456789ab";
    for (const wchar_t* name : {L"998", L"1002", L"997", L"1003", L"short", L"1969"}) {
        dir.Write(name, name == std::wstring(L"short") ? twelve.substr(1) : twelve);
        test::SetUnixMtime(dir.Join(name), name == std::wstring(L"1969") ? -86400 : 1000);
    }
    EXPECT_EQ(Scan("f 998 12 x 998\nf 1002 12 x 1002\nf 997 12 x 997\nf 1003 12 x 1003\nf 1000 12 x short\n"
                   "f -86400 12 x 1969\nf 1000 12 x missing\n"),
              (std::vector<std::wstring>{L"997", L"1003", L"short", L"missing"}));
}

// Folder lines set the prefix (a bare "d" resets it; the scan creates none),
// a tab belongs to a field, names keep their blanks, staged copies are never
// queued, and a BOM and CRLF or CR line ends read like LF.
TEST_F(ListScanTest, FileAndFolderLines) {
    const std::string list =
        "v 29\nd sub\nf 5 1 x a.dat\nd  deep\\er\\x  \nd empty\\\n\nd\nf 6 1 x b b.dat \nf 1\t2 3 x tab\n"
        "d \xC3\xA9t\xC3\xA9\nf 7 1 x e.dat\n dx\nF 1 1 x n\ndsub\nf1 1 1 x n\nf 1 1 x\n# note\n"
        "f 8 1 x e.dat.VELTRUNE-staged\n";
    std::string cr = list;
    for (char& c : cr) c = c == '\n' ? '\r' : c;
    for (const std::string& text : {list, Crlf(list), cr}) {
        EXPECT_EQ(Scan(text), (std::vector<std::wstring>{L"sub\\a.dat", L"b b.dat ", L"tab", L"\u00e9t\u00e9\\e.dat"}));
    }
    EXPECT_EQ(ScanPatchList(list, dir.path() + L"\\", 29).folders,
              (std::vector<std::wstring>{L"sub\\", L"deep\\er\\x\\", L"empty\\", L"\u00e9t\u00e9\\"}));
    EXPECT_FALSE(dir.Exists(L"sub"));
}

TEST(SafeListPath, RefusesEscapesAndDevices) {
    for (const wchar_t* bad :
         {L"..\\x", L"../x", L"a\\..\\..\\x", L"..", L".\\x", L"a\\\\b", L"a//b", L"\\x", L"\\\\server\\share\\x",
          L"C:\\x", L"C:x", L"a\\b:ads", L"a\x01", L"a\x7f", L"...\\x", L".. \\x", L"", L"a\\",
          // A device name addresses the device in any folder, with any extension.
          L"CON", L"Prn.txt", L"AUX.dat.gz", L"Data\\NUL.dat", L"com9.log", L"LPT1", L"sub\\Con\\f", L"CON .txt",
          L"CONIN$", L"conout$.log", L"COM\u00b9", L"lpt\u00b2.dat", L"Data\\Com\u00b3 .x"}) {
        EXPECT_FALSE(IsSafeListPath(bad, false)) << WideToUtf8(bad);
    }
    for (const wchar_t* good : {L"a b ", L"x/y/z.dat", L"..a", L"a..", L".hidden", L"\u00e9t\u00e9\\f#1.dat",
                                L"CONSOLE", L"con1", L"COM10", L"LPT12", L"icon.png", L"null.dat", L"com1x",
                                L"COM0", L"COM\u2074", L"LPT\u00b9\u00b9", L"CONIN", L"conin$x"}) {
        EXPECT_TRUE(IsSafeListPath(good, false)) << WideToUtf8(good);
    }
    EXPECT_TRUE(IsSafeListPath(L"sub\\", true));
}

TEST_F(ListScanTest, UnsafeEntriesAreLoggedAndSkipped) {
    test::LogCapture log;
    EXPECT_EQ(Scan("f 1 1 x ..\\escape.dat\nf 1 1 x good.dat\nd ..\\outside\nf 1 1 x under-refused.dat\nd sub\n"
                   "f 1 1 x C:\\abs.dat\nf 1 1 x stream.dat:ads\nf 1 1 x fine.dat\n"),
              (std::vector<std::wstring>{L"good.dat", L"sub\\fine.dat"}));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path ..\\outside"));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path sub\\stream.dat:ads"));
}

// The launcher's settings and log in the game root are never taken from a list,
// in any case or with the dots and blanks Windows drops; in a subfolder they are.
TEST_F(ListScanTest, TheLauncherOwnFilesInTheRootAreNeverListed) {
    test::LogCapture log;
    EXPECT_EQ(Scan("f 1 1 x veltrune.INI\nf 1 1 x PatcherSettings.ini. \nf 1 1 x Veltrune.log\nf 1 1 x Veltrune.exe\n"
                   "d Data\nf 1 1 x Veltrune.ini\n"),
              (std::vector<std::wstring>{L"Veltrune.exe", L"Data\\Veltrune.ini"}));
    EXPECT_TRUE(log.Has("Patcher: refused veltrune.INI: the launcher's own file is never replaced from a list"));
}

// What signing adds (#-lines, SHA-256 in the reserved field, #sig) leaves the
// scan unchanged, so launchers that know nothing of signing keep patching.
TEST_F(ListScanTest, SignedLinesChangeNothingForTheScan) {
    const std::string hash(64, 'a');
    const std::string files = "d data\nf 1000 4 " + hash + " a.bin\nf 5 6 " + hash + " last.txt\n";
    const std::string signedList =
        "v 29\n#hash sha256\n#serial 17966\n#expires 17972\n#launcher " + hash + " 4\n" + files + "#sig QUJD\n";
    for (const std::string& text : {signedList, Crlf(signedList)}) {
        EXPECT_EQ(Scan(text), (std::vector<std::wstring>{L"data\\a.bin", L"data\\last.txt"})) << text;
    }
    EXPECT_EQ(ReadListSeal(Crlf(signedList)).signedBytes, Crlf(signedList).rfind("#sig"));  // the BOM is signed
    // A bare CR ending and blank lines after the signature are no appended lines.
    EXPECT_FALSE(ReadListSeal("v 29\r#sig QUJD\r\r\n\n").bytesAfterSig);
}

TEST(ListVerdict, AKeyRefusesUnsignedAndAppendedListsBeforeAnySignatureCheck) {
    std::string why;
    const std::string unsignedList = "v 29\n#serial 5\nf 1 2 x a.txt\n";
    EXPECT_EQ(JudgeList(ReadListSeal(unsignedList), unsignedList, "", {10, 10, 29}, 0, why), ListVerdict::Trusted);
    EXPECT_EQ(JudgeList(ReadListSeal(unsignedList), unsignedList, "QUJD", {}, 0, why), ListVerdict::Unsigned);
    // A line after the signature would be unsigned, whatever the signature says.
    const std::string appended = "v 29\n#sig QUJD\nf 1 2 x evil.exe\n";
    EXPECT_EQ(JudgeList(ReadListSeal(appended), appended, "QUJD", {}, 0, why), ListVerdict::BadSignature);
    EXPECT_EQ(why, "lines follow the signature");
    // A key that is no P-256 point refuses every list rather than turning the check off.
    const std::string list = "v 29\n#sig " + std::string(86, 'A') + "==\n";
    EXPECT_EQ(JudgeList(ReadListSeal(list), list, "not base64!", {}, 0, why), ListVerdict::BadSignature);
}

// Signed lists against the launcher's floors (the serial seen, listMinSerial,
// its build, the clock) and signed lines that do not read.
TEST(ListVerdict, SignedListsBelowAFloorOrWithUnreadableLinesAreRefused) {
    const test::ListSigner signer;
    ASSERT_FALSE(signer.PublicKey().empty());
    const std::string hash(64, 'a'), files = "d data\nf 1000 4 " + hash + " a.bin\n";
    const ListFloors floors{100, 50, 29};
    const struct {
        std::string head;
        ListVerdict verdict;
        const char* why;
    } rows[] = {
        {"v 29\n#serial 100\n#expires 2000\n#launcher " + hash + " 15 \n", ListVerdict::Trusted, ""},
        {"v 30\n#serial 101\n", ListVerdict::Trusted, ""},  // a newer build is an update
        {"v 29\n#serial 99\n", ListVerdict::Rollback, "serial 99 is older than 100 seen before"},
        {"v 28\n#serial 200\n", ListVerdict::OlderBuild, "it names launcher build 28, older than this build 29"},
        {"v 29\nv 28\n#serial 200\n", ListVerdict::OlderBuild, "build 28"},
        {"v 29\n#serial 1000\n#expires 1000\n", ListVerdict::Expired, "the list expired at 1000 (now 87401)"},
        {"v 29\n#serial 1234567890123456789\n", ListVerdict::Malformed, "malformed #serial line"},
        {"v 29\n#serial 200\n#expires 17e8\n", ListVerdict::Malformed, "malformed #expires line"},
        {"v 29\n#serial 200\n#launcher  15\n", ListVerdict::Malformed, "malformed #launcher line"},
        {"v 29\n#serial 200\n#launcher " + std::string(64, 'A') + " 15\n", ListVerdict::Malformed, "#launcher"},
        {"v 29\n#serial 200\n#launcher " + hash + "\n", ListVerdict::Malformed, "#launcher"},
        {"v 29\n#serial 200\n#launcher " + hash + " -15\n", ListVerdict::Malformed, "#launcher"},
    };
    for (const auto& row : rows) {
        const std::string text = signer.Sign(row.head + files);
        std::string why;
        EXPECT_EQ(JudgeList(ReadListSeal(text), text, signer.PublicKey(), floors, 1000 + 86401, why), row.verdict)
            << row.head << why;
        EXPECT_NE(why.find(row.why), std::string::npos) << why;
    }
    // The operator's floor holds on a fresh install, where nothing was seen yet.
    const std::string old = signer.Sign("v 29\n#serial 49\n" + files);
    std::string why;
    EXPECT_EQ(JudgeList(ReadListSeal(old), old, signer.PublicKey(), {-1, 50, 29}, 0, why), ListVerdict::Rollback);
    EXPECT_EQ(why, "serial 49 is below listMinSerial 50");
    EXPECT_EQ(JudgeList(ReadListSeal(old), old, signer.PublicKey(), {-1, 49, 29}, 0, why), ListVerdict::Trusted);
    // Read whole: the largest serial the tool may write, and the launcher line.
    const ListSeal seal = ReadListSeal("#serial 999999999999999999\n#launcher " + hash + " 15\n");
    EXPECT_EQ(seal.serial, 999999999999999999);
    EXPECT_EQ(seal.launcherSha256 + " " + std::to_string(seal.launcherSize), hash + " 15");
}

// Mirror URLs get their closing slash; object paths are percent-encoded UTF-8 plus ".gz".
TEST(PatcherUrls, ServerListAndObjectPaths) {
    LauncherConfig c;
    c.mirrors = {L"http://a.example/p", L"http://b.example/"};
    Patcher p(c, L"C:\\Game");
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{L"http://a.example/p/", L"http://b.example/"}));
    EXPECT_EQ(p.BuildUrl(L"\u00e9t\u00e9\\#1/My File+%.dat"),
              L"http://a.example/p/%C3%A9t%C3%A9/%231/My%20File%2B%25.dat.gz");
}

}  // namespace
}  // namespace vr

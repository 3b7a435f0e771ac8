// The list as the launcher reads it: file lines, folder lines, the
// up-to-date check, unsafe paths, and the signed lines read and judged
// before any signature check (real signatures: publish_roundtrip).
#include "patcher/patch_list.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "patch_fixture.h"
#include "patcher/list_trust.h"
#include "support/log_capture.h"

namespace vr {
namespace {

using test::TempDir;

std::vector<std::wstring> Paths(const ListScan& scan) {
    std::vector<std::wstring> out;
    for (const auto& f : scan.queue) out.push_back(f.relPath);
    return out;
}

std::string Crlf(const std::string& lf) {
    std::string out = "\xEF\xBB\xBF";
    for (char c : lf) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(FileLine, FieldsAndNameBlanks) {
    struct Row {
        const char* line;
        bool ok;
        int64_t mtime, size;
        const char* name;
    };
    for (const Row& row : {
             Row{"f 1000 12 x My File.txt", true, 1000, 12, "My File.txt"},
             Row{"f   -5    7   r   a  b  ", true, -5, 7, "a  b  "},  // the name keeps its blanks
             Row{"f 1\t2 3 r n", true, 1, 3, "n"},                    // a tab belongs to a field
             Row{"f 12abc zz r n", true, 12, 0, "n"},
             Row{"f 9223372036854775807 5000000000 r big", true, INT64_MAX, 5000000000LL, "big"},
             Row{"f 1000 12 My", false, 0, 0, ""},  // the name became field 4
             Row{"f 1000 12 x   ", false, 0, 0, ""},
             Row{"F 1000 12 x n", false, 0, 0, ""},
             Row{"f1000 12 x n", false, 0, 0, ""},
         }) {
        int64_t mtime = -1, size = -1;
        std::string name;
        ASSERT_EQ(ParseFileLine(row.line, mtime, size, name), row.ok) << row.line;
        if (!row.ok) continue;
        EXPECT_EQ(mtime, row.mtime) << row.line;
        EXPECT_EQ(size, row.size) << row.line;
        EXPECT_EQ(name, row.name) << row.line;
    }
}

class ListScanTest : public ::testing::Test {
protected:
    std::wstring Base() const { return dir.path() + L"\\"; }
    void Current(const std::wstring& rel, const std::string& bytes, int64_t mtime) {
        dir.Write(rel, bytes);
        test::SetUnixMtime(dir.Join(rel), mtime);
    }
    TempDir dir;
};

TEST_F(ListScanTest, TimeWindowAndSize) {
    const std::string twelve = "0123456789ab";
    struct Row {
        const wchar_t* name;
        int64_t localMtime;  // listed: 1000, 12 bytes
        size_t localSize;
        bool queued;
    };
    const std::vector<Row> rows = {
        {L"newer.dat", 1001, 12, false}, {L"older.dat", 999, 12, false},  {L"edge.dat", 1002, 12, false},
        {L"far.dat", 1003, 12, true},    {L"farback.dat", 997, 12, true}, {L"short.dat", 1000, 11, true},
        {L"missing.dat", 0, 0, true},
    };
    std::string list;
    for (const Row& row : rows) {
        if (row.localSize > 0) Current(row.name, twelve.substr(0, row.localSize), row.localMtime);
        list += "f 1000 12 x " + WideToUtf8(row.name) + "\n";
    }
    // Times before 1970 are valid times.
    Current(L"1969.dat", twelve, -86400);
    list += "f -86400 12 x 1969.dat\n";
    const std::vector<std::wstring> queued = Paths(ScanPatchList(list, Base(), 29));
    for (const Row& row : rows) {
        EXPECT_EQ(std::count(queued.begin(), queued.end(), row.name), row.queued) << WideToUtf8(row.name);
    }
    EXPECT_EQ(std::count(queued.begin(), queued.end(), L"1969.dat"), 0);
}

// Folder lines create their folders and set the prefix; the bare "d" resets
// it; a BOM and CRLF or CR line ends read like LF.
TEST_F(ListScanTest, FolderLinesAndLineEnds) {
    const std::string list =
        "v 29\nd sub\nf 5 1 x a.dat\nd  deep\\er\\x  \nd empty\\\n\nd\nf 6 1 x b b.dat \nd \xC3\xA9t\xC3\xA9\n"
        "f 7 1 x e.dat\n dx\nF 1 1 x n\ndsub\nf1 1 1 x n\n# note\n";
    const std::vector<std::wstring> expected = {L"sub\\a.dat", L"b b.dat ", L"\u00e9t\u00e9\\e.dat"};
    std::string cr = list;
    for (char& c : cr) c = c == '\n' ? '\r' : c;
    for (const std::string& text : {list, Crlf(list), cr}) EXPECT_EQ(Paths(ScanPatchList(text, Base(), 29)), expected);
    for (const wchar_t* folder : {L"sub", L"deep\\er\\x", L"empty", L"\u00e9t\u00e9"}) {
        EXPECT_TRUE(dir.Exists(folder)) << WideToUtf8(folder);
    }
    EXPECT_FALSE(dir.Exists(L"sub\\a.dat"));  // scanning downloads nothing
}

TEST(SafeListPath, RefusesEscapesAndDevices) {
    for (const wchar_t* bad :
         {L"..\\x", L"../x", L"a\\..\\..\\x", L"..", L".\\x", L"a\\\\b", L"a//b", L"\\x", L"\\\\server\\share\\x",
          L"C:\\x", L"C:x", L"a\\b:ads", L"a\x01", L"a\x7f", L"...\\x", L".. \\x", L"", L"a\\",
          // A device name addresses the device in any folder, with any extension.
          L"CON", L"Prn.txt", L"AUX.dat.gz", L"Data\\NUL.dat", L"com9.log", L"LPT1", L"sub\\Con\\f", L"CON .txt"}) {
        EXPECT_FALSE(IsSafeListPath(bad, false)) << WideToUtf8(bad);
    }
    for (const wchar_t* good : {L"a b ", L"x/y/z.dat", L"..a", L"a..", L".hidden", L"\u00e9t\u00e9\\f#1.dat",
                                L"CONSOLE", L"con1", L"COM10", L"LPT12", L"icon.png", L"null.dat", L"com1x"}) {
        EXPECT_TRUE(IsSafeListPath(good, false)) << WideToUtf8(good);
    }
    EXPECT_TRUE(IsSafeListPath(L"sub\\", true));
    EXPECT_FALSE(IsSafeListPath(L"sub\\\\", true));
}

TEST_F(ListScanTest, UnsafeEntriesAreLoggedAndSkipped) {
    test::LogCapture log;
    const std::string list =
        "f 1 1 x ..\\escape.dat\nf 1 1 x good.dat\nd ..\\outside\nf 1 1 x under-refused.dat\nd sub\n"
        "f 1 1 x C:\\abs.dat\nf 1 1 x stream.dat:ads\nf 1 1 x fine.dat\n";
    EXPECT_EQ(Paths(ScanPatchList(list, Base(), 29)), (std::vector<std::wstring>{L"good.dat", L"sub\\fine.dat"}));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path ..\\outside"));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path sub\\stream.dat:ads"));
    EXPECT_FALSE(dir.Exists(L"under-refused.dat"));
}

// What the publishing tool adds for signed lists (#-lines, SHA-256 in the
// reserved field, the #sig line) leaves the scan unchanged, so launchers
// that know nothing of signing keep patching from such lists.
TEST_F(ListScanTest, SignedLinesChangeNothingForTheScan) {
    const std::string hash(64, 'a');
    const std::string plain = "v 29\nd data\nf 1000 4 - a.bin\nf 5 6 x last.txt\n";
    const std::string withHashes = "v 29\nd data\nf 1000 4 " + hash + " a.bin\nf 5 6 " + hash + " last.txt\n";
    const std::string signedList = "v 29\n#hash sha256\n#serial 1796600000\n#expires 1797204800\n#launcher " + hash +
                                   " 4\n" + withHashes.substr(5) + "#sig QUJD\n";
    const std::vector<std::wstring> expected = {L"data\\a.bin", L"data\\last.txt"};
    for (const std::string& text : {plain, withHashes, signedList, Crlf(signedList)}) {
        EXPECT_EQ(Paths(ScanPatchList(text, Base(), 29)), expected) << text;
    }
    EXPECT_TRUE(ScanPatchList("v 30\n#hash sha256\n#sig QUJD\n", Base(), 29).outOfDate);

    const ListSeal seal = ReadListSeal(Crlf(signedList));
    EXPECT_TRUE(seal.hashesSha256 && seal.hasSerial && seal.hasExpires && seal.hasLauncher && seal.hasSig);
    EXPECT_EQ(seal.serial, 1796600000);
    EXPECT_EQ(seal.launcherSize, 4);
    EXPECT_EQ(seal.signedBytes, Crlf(signedList).rfind("#sig"));  // the byte-order mark is signed too
    // A bare CR ending and blank lines after the signature are no appended lines.
    EXPECT_FALSE(ReadListSeal("v 29\r#sig QUJD\r\r\n\n").bytesAfterSig);
}

TEST(ListVerdict, AKeyRefusesUnsignedAndAppendedListsBeforeAnySignatureCheck) {
    std::string why;
    const std::string unsignedList = "v 29\n#serial 5\nf 1 2 x a.txt\n";
    EXPECT_EQ(JudgeList(ReadListSeal(unsignedList), unsignedList, "", 10, 0, why), ListVerdict::Trusted)
        << "without a key nothing is judged";
    EXPECT_EQ(JudgeList(ReadListSeal(unsignedList), unsignedList, "QUJD", -1, 0, why), ListVerdict::Unsigned);
    // A line after the signature would be unsigned, whatever the signature says.
    const std::string appended = "v 29\n#sig QUJD\nf 1 2 x evil.exe\n";
    EXPECT_EQ(JudgeList(ReadListSeal(appended), appended, "QUJD", -1, 0, why), ListVerdict::BadSignature);
    EXPECT_EQ(why, "lines follow the signature");
    // A key that is no P-256 point refuses every list rather than turning the check off.
    const std::string list = "v 29\n#sig " + std::string(86, 'A') + "==\n";
    EXPECT_EQ(JudgeList(ReadListSeal(list), list, "not base64!", -1, 0, why), ListVerdict::BadSignature);
}

// Mirror URLs get their closing slash; object paths are percent-encoded
// UTF-8 with ".gz" added.
TEST(PatcherUrls, ServerListAndObjectPaths) {
    LauncherConfig c;
    c.mirrors = {L"http://a.example/p", L"http://b.example/"};
    Patcher p(c, L"C:\\Game");
    EXPECT_EQ(p.Servers(), (std::vector<std::wstring>{L"http://a.example/p/", L"http://b.example/"}));
    EXPECT_EQ(p.BuildUrl(L"\u00e9t\u00e9\\#1/My File+%.dat"),
              L"http://a.example/p/%C3%A9t%C3%A9/%231/My%20File%2B%25.dat.gz");
    c.mirrors.clear();
    c.serverUrl = L"http://primary.example/Patch";
    EXPECT_EQ(Patcher(c, L"C:\\Game").Servers(), std::vector<std::wstring>{L"http://primary.example/Patch/"});
}

}  // namespace
}  // namespace vr

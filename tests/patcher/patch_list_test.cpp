#include "patcher/patch_list.h"

#include <gtest/gtest.h>

#include "patch_fixture.h"

namespace vr {
namespace {

using test::TempDir;

std::vector<std::wstring> Paths(const ListScan& scan) {
    std::vector<std::wstring> out;
    for (const auto& f : scan.queue) out.push_back(f.relPath);
    return out;
}

TEST(FileLine, FieldsAndNameBlanks) {
    int64_t mtime = -1, size = -1;
    std::string name;
    ASSERT_TRUE(ParseFileLine("f 1000 12 x My File.txt", mtime, size, name));
    EXPECT_EQ(mtime, 1000);
    EXPECT_EQ(size, 12);
    EXPECT_EQ(name, "My File.txt");

    // Runs of blanks separate fields; the name keeps inner and trailing blanks.
    ASSERT_TRUE(ParseFileLine("f   -5    7   r   a  b  ", mtime, size, name));
    EXPECT_EQ(mtime, -5);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(name, "a  b  ");

    // A tab belongs to a field.
    ASSERT_TRUE(ParseFileLine("f 1\t2 3 r n", mtime, size, name));
    EXPECT_EQ(mtime, 1);
    EXPECT_EQ(size, 3);

    // Not numbers: read as far as digits go, else 0.
    ASSERT_TRUE(ParseFileLine("f 12abc zz r n", mtime, size, name));
    EXPECT_EQ(mtime, 12);
    EXPECT_EQ(size, 0);
    ASSERT_TRUE(ParseFileLine("f 9223372036854775807 5000000000 r big", mtime, size, name));
    EXPECT_EQ(mtime, INT64_MAX);
    EXPECT_EQ(size, 5000000000LL);
}

TEST(FileLine, Malformed) {
    int64_t mtime, size;
    std::string name;
    EXPECT_FALSE(ParseFileLine("f 1000 12 My", mtime, size, name));    // the name became field 4
    EXPECT_FALSE(ParseFileLine("f 1000 12 x   ", mtime, size, name));  // only blanks after field 4
    EXPECT_FALSE(ParseFileLine("F 1000 12 x n", mtime, size, name));
    EXPECT_FALSE(ParseFileLine("f1000 12 x n", mtime, size, name));
    EXPECT_FALSE(ParseFileLine("ff 1000 12 x n", mtime, size, name));
    EXPECT_FALSE(ParseFileLine("", mtime, size, name));
}

TEST(FileLine, NextTokenLeavesPosAfterToken) {
    std::string line = "  ab  c", token;
    size_t pos = 0;
    ASSERT_TRUE(NextToken(pos, line, token));
    EXPECT_EQ(token, "ab");
    EXPECT_EQ(pos, 4u);
    ASSERT_TRUE(NextToken(pos, line, token));
    EXPECT_EQ(token, "c");
    EXPECT_EQ(pos, 7u);
    EXPECT_FALSE(NextToken(pos, line, token));
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

TEST_F(ListScanTest, BomAndCrlfParseLikeLf) {
    const std::string body = "v 29\nd sub\nf 100 3 x a.dat\n\nd\nf 100 4 x b b.dat \nf 100 1 x c.dat\n";
    std::string crlf = "\xEF\xBB\xBF";
    for (char c : body) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string cr;
    for (char c : body) cr += c == '\n' ? '\r' : c;

    Current(L"c.dat", "1", 100);
    const std::vector<std::wstring> expected = {L"sub\\a.dat", L"b b.dat "};
    EXPECT_EQ(Paths(ScanPatchList(body, Base(), 29)), expected);
    EXPECT_EQ(Paths(ScanPatchList(crlf, Base(), 29)), expected);
    EXPECT_EQ(Paths(ScanPatchList(cr, Base(), 29)), expected);
    // A line that starts with a blank, a capital F or d without a blank is nothing.
    EXPECT_TRUE(ScanPatchList(" f 1 1 x n\nF 1 1 x n\ndsub\ndx\nf1 1 1 x n\n# note\n", Base(), 29).queue.empty());
}

TEST_F(ListScanTest, TimeWindowAndSize) {
    const std::string twelve = "0123456789ab";
    Current(L"newer.dat", twelve, 1001);
    Current(L"older.dat", twelve, 999);
    Current(L"edge.dat", twelve, 1002);
    Current(L"far.dat", twelve, 1003);
    Current(L"farback.dat", twelve, 997);
    Current(L"short.dat", twelve.substr(1), 1000);
    dir.MakeDir(L"folder.dat");
    const std::string list =
        "f 1000 12 x newer.dat\nf 1000 12 x older.dat\nf 1000 12 x edge.dat\nf 1000 12 x far.dat\n"
        "f 1000 12 x farback.dat\nf 1000 12 x short.dat\nf 1000 12 x folder.dat\nf 1000 12 x missing.dat\n";
    const ListScan scan = ScanPatchList(list, Base(), 29);
    EXPECT_FALSE(scan.outOfDate);
    EXPECT_EQ(Paths(scan),
              (std::vector<std::wstring>{L"far.dat", L"farback.dat", L"short.dat", L"folder.dat", L"missing.dat"}));
    EXPECT_EQ(scan.queue.front().mtime, 1000);
}

TEST_F(ListScanTest, FolderLinesCreateFoldersAndReset) {
    const std::string list =
        "d sub\nf 5 1 x a.dat\nd  deep\\er\\x  \nd empty\\\nd \t \nf 6 1 x root.dat\nd\xC3\xA9\nd \xC3\xA9t\xC3\xA9\nf "
        "7 1 x e.dat\n";
    const ListScan scan = ScanPatchList(list, Base(), 29);
    ASSERT_EQ(scan.queue.size(), 3u);
    EXPECT_EQ(scan.queue[0].relPath, L"sub\\a.dat");
    EXPECT_EQ(scan.queue[0].mtime, 5);
    EXPECT_EQ(scan.queue[1].relPath, L"root.dat");
    EXPECT_EQ(scan.queue[2].relPath, L"\u00e9t\u00e9\\e.dat");
    EXPECT_TRUE(dir.Exists(L"sub"));
    EXPECT_TRUE(dir.Exists(L"deep\\er\\x"));
    EXPECT_TRUE(dir.Exists(L"empty"));  // created though no file lives there
    EXPECT_TRUE(dir.Exists(L"\u00e9t\u00e9"));
    EXPECT_FALSE(dir.Exists(L"a.dat"));  // scanning downloads nothing
}

TEST_F(ListScanTest, VersionLineEitherDirectionDropsQueue) {
    for (const char* v : {"v 30", "v 28", "v abc"}) {
        const ListScan scan =
            ScanPatchList(std::string("f 1 1 x stale.dat\n") + v + "\nf 1 1 x later.dat\n", Base(), 29);
        EXPECT_TRUE(scan.outOfDate) << v;
        EXPECT_TRUE(scan.queue.empty()) << v;
    }
    EXPECT_EQ(ScanPatchList("v 30\n", Base(), 29).serverVersion, 30);
    const ListScan same = ScanPatchList("v 29\nf 1 1 x a\nv29\nvx 1\n", Base(), 29);
    EXPECT_FALSE(same.outOfDate);
    EXPECT_EQ(same.queue.size(), 1u);
    EXPECT_FALSE(ScanPatchList("v zero\n", Base(), 0).outOfDate);
}

TEST(SafeListPath, RefusesEscapes) {
    for (const wchar_t* bad : {L"..\\x",
                               L"../x",
                               L"a\\..\\..\\x",
                               L"..",
                               L".",
                               L".\\x",
                               L"a\\.\\b",
                               L"a\\\\b",
                               L"a//b",
                               L"\\x",
                               L"/x",
                               L"\\\\server\\share\\x",
                               L"C:\\x",
                               L"C:x",
                               L"x:stream",
                               L"a\\b:ads",
                               L"a\x01"
                               L"b",
                               L"a\nb",
                               L"a\x7f",
                               L"...\\x",
                               L".. \\x",
                               L"a\\ ..",
                               L"",
                               L"a\\"}) {
        EXPECT_FALSE(IsSafeListPath(bad, false)) << WideToUtf8(bad);
    }
    for (const wchar_t* good :
         {L"a", L"a b ", L"Data\\My File.dat", L"x/y/z.dat", L"..a", L"a..", L".hidden", L"\u00e9t\u00e9\\f#1.dat"}) {
        EXPECT_TRUE(IsSafeListPath(good, false)) << WideToUtf8(good);
    }
    EXPECT_TRUE(IsSafeListPath(L"sub\\", true));
    EXPECT_FALSE(IsSafeListPath(L"sub\\\\", true));
    EXPECT_FALSE(IsSafeListPath(L"..\\", true));
}

TEST(SafeListPath, RefusesDeviceNames) {
    // A device name addresses the device in any folder, with any extension.
    for (const wchar_t* bad : {L"CON", L"con", L"Prn.txt", L"AUX.dat.gz", L"nul", L"Data\\NUL.dat", L"COM1",
                               L"com9.log", L"LPT1", L"lpt9", L"sub\\Con\\file.dat", L"CON .txt", L"nul "}) {
        EXPECT_FALSE(IsSafeListPath(bad, false)) << WideToUtf8(bad);
    }
    EXPECT_FALSE(IsSafeListPath(L"aux\\", true));
    for (const wchar_t* good : {L"CONSOLE", L"con1", L"COM10", L"com", L"LPT", L"xnul", L"icon.png", L"null.dat",
                                L"Data\\prn_notes.txt", L"nul_.dat", L"com1x"}) {
        EXPECT_TRUE(IsSafeListPath(good, false)) << WideToUtf8(good);
    }
}

TEST_F(ListScanTest, UnsafeEntriesAreLoggedAndSkipped) {
    test::LogCapture log;
    const std::string list =
        "f 1 1 x ..\\escape.dat\n"
        "f 1 1 x good.dat\n"
        "d ..\\outside\n"
        "f 1 1 x under-refused.dat\n"
        "d sub\n"
        "f 1 1 x C:\\abs.dat\n"
        "f 1 1 x stream.dat:ads\n"
        "f 1 1 x fine.dat\n";
    const ListScan scan = ScanPatchList(list, Base(), 29);
    EXPECT_EQ(Paths(scan), (std::vector<std::wstring>{L"good.dat", L"sub\\fine.dat"}));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path ..\\escape.dat\r\n"));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path ..\\outside\r\n"));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path sub\\C:\\abs.dat\r\n"));
    EXPECT_TRUE(log.Has("Patcher: refused unsafe path sub\\stream.dat:ads\r\n"));
    EXPECT_EQ(log.Count("refused unsafe path"), 4);
    EXPECT_EQ(test::ListFolder(dir.path()), std::vector<std::wstring>{L"sub"});
}

}  // namespace
}  // namespace vr

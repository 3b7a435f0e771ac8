// The list's own lines as the launcher reads them, and the order in which a
// list is judged. Real signatures are made by the publishing tool in the
// publish_roundtrip suite; these cases need none, since every one of them is
// decided before or without the signature check.
#include <gtest/gtest.h>

#include <string>

#include "patcher/list_trust.h"

namespace vr {
namespace {

const std::string kHash(64, 'a');

TEST(ListSeal, TheSignedBytesEndWhereTheSigLineStartsWhateverTheLineEnds) {
    const std::string body =
        "\xEF\xBB\xBFv 29\r\n#hash sha256\r\n#serial 1796600000\r\n#expires 1797204800\r\n#launcher " + kHash +
        " 2097152\r\nf 1 2 " + kHash + " a.txt\r\n";
    const ListSeal seal = ReadListSeal(body + "#sig QUJD\r\n");
    EXPECT_TRUE(seal.hashesSha256);
    ASSERT_TRUE(seal.hasSerial);
    EXPECT_EQ(seal.serial, 1796600000);
    ASSERT_TRUE(seal.hasExpires);
    EXPECT_EQ(seal.expires, 1797204800);
    ASSERT_TRUE(seal.hasLauncher);
    EXPECT_EQ(seal.launcherSha256, kHash);
    EXPECT_EQ(seal.launcherSize, 2097152);
    ASSERT_TRUE(seal.hasSig);
    EXPECT_EQ(seal.sigBase64, "QUJD");
    EXPECT_EQ(seal.signedBytes, body.size());  // the byte-order mark is signed too
    EXPECT_FALSE(seal.bytesAfterSig);

    // A bare CR ending, and blank lines after the signature, change nothing.
    const ListSeal cr = ReadListSeal("v 29\r#sig QUJD\r\r\n\n");
    EXPECT_EQ(cr.signedBytes, 5u);
    EXPECT_FALSE(cr.bytesAfterSig);
}

TEST(ListSeal, OnlyWellFormedLinesCount) {
    const ListSeal seal = ReadListSeal("#hash md5\n#serial 12x\n#serial -5\n#expires\n#launcher " + kHash +
                                       "\n# serial 9\n #hash sha256\n");
    EXPECT_FALSE(seal.hashesSha256);
    EXPECT_FALSE(seal.hasSerial);
    EXPECT_FALSE(seal.hasExpires);
    EXPECT_FALSE(seal.hasLauncher);  // no size
    EXPECT_FALSE(seal.hasSig);

    // The first of two serials is the one read (a signed list has one).
    const ListSeal twice = ReadListSeal("#serial 7\n#serial 9\n");
    EXPECT_EQ(twice.serial, 7);
}

TEST(ListVerdict, AKeyRefusesUnsignedAndAppendedListsBeforeAnySignatureCheck) {
    std::string why;
    const std::string unsignedList = "v 29\n#serial 5\nf 1 2 x a.txt\n";
    EXPECT_EQ(JudgeList(ReadListSeal(unsignedList), unsignedList, "", 10, 0, why), ListVerdict::Trusted)
        << "without a key nothing is judged";
    EXPECT_EQ(JudgeList(ReadListSeal(unsignedList), unsignedList, "QUJD", -1, 0, why), ListVerdict::Unsigned);
    EXPECT_EQ(why, "the list is not signed");

    // A line after the signature would be unsigned: the list is refused even
    // though the signature itself might be valid for the bytes before it.
    const std::string appended = "v 29\n#sig QUJD\nf 1 2 x evil.exe\n";
    EXPECT_EQ(JudgeList(ReadListSeal(appended), appended, "QUJD", -1, 0, why), ListVerdict::BadSignature);
    EXPECT_EQ(why, "lines follow the signature");

    // A key that is no P-256 point refuses every list rather than turning
    // the check off.
    const std::string list = "v 29\n#sig " + std::string(86, 'A') + "==\n";
    EXPECT_EQ(JudgeList(ReadListSeal(list), list, "not base64!", -1, 0, why), ListVerdict::BadSignature);
    EXPECT_NE(why.find("signature check: the public key"), std::string::npos) << why;
}

}  // namespace
}  // namespace vr

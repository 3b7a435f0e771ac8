// SHA-256 and ECDSA P-256 checks on the real CNG of the test prefix, against
// published known answers and a signature made by OpenSSL.
#include "net/signature.h"

#include <gtest/gtest.h>

#include <string>

#include "net/base64.h"
#include "net/sha256.h"

namespace vr {
namespace {

std::string HexOf(const std::string& data, size_t piece) {
    Sha256 hash;
    for (size_t i = 0; i < data.size(); i += piece) hash.Update(data.data() + i, std::min(piece, data.size() - i));
    Sha256Digest digest;
    if (!hash.Finish(digest)) return "failed";
    return DigestHex(digest);
}

TEST(Sha256, KnownAnswersWhateverTheFeedSize) {
    EXPECT_EQ(HexOf("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // 56 bytes: the padding spills into a second block.
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (size_t piece : {1, 7, 64}) {
        EXPECT_EQ(HexOf(twoBlocks, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1") << piece;
    }
}

// Made with: openssl ecparam -name prime256v1 -genkey; openssl dgst -sha256
// -sign over kMessage; the DER signature cut into r||s.
const std::string kMessage =
    "v 29\n#hash sha256\nf 1000 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad abc.txt\n";
const std::string kKey = "ynbMVNPpFUtsP7Smy1gyaWFAYTp2o8WOR8wgdCAEUEdrDaGYdUU++3d2VDJ/5JNCWljkL1SAFBiTtsLy3uYBHQ==";
const std::string kSig = "060VeG/ULg2lMT1eE1KcravnPPwPOHSFrdyxa4J/pB1sYpe8yice6OKr/k9wBiAOaLrh5bLJjqqQnA+CfkBtOQ==";
const std::string kOtherKey =
    "rQ0HK9KksZY5FSRPmIMyQ63feevVzDkPRvFwaY1grtTKe4/O8iYXz9/ulXsYGHUeIBZcFjHn4U5jJzzamNdBKA==";

TEST(Signature, OnlyTheKeysOwnSignatureOverTheSameBytesIsValid) {
    EXPECT_EQ(VerifyP256Base64(kKey, kMessage, kSig), SignatureCheck::Valid);
    std::string key, sig;
    ASSERT_TRUE(DecodeBase64(kKey, key) && DecodeBase64(kSig, sig));
    for (size_t i : {size_t{0}, kMessage.size() - 1}) {
        std::string changed = kMessage;
        changed[i] ^= 0x01;
        EXPECT_EQ(VerifyP256(key, changed, sig), SignatureCheck::Mismatch) << i;
    }
    for (size_t i : {size_t{0}, size_t{63}}) {  // in r and in s
        std::string changed = sig;
        changed[i] ^= 0x80;
        EXPECT_EQ(VerifyP256(key, kMessage, changed), SignatureCheck::Mismatch) << i;
    }
    EXPECT_EQ(VerifyP256Base64(kOtherKey, kMessage, kSig), SignatureCheck::Mismatch);

    EXPECT_EQ(VerifyP256Base64("not base64!", kMessage, kSig), SignatureCheck::BadKey);
    EXPECT_EQ(VerifyP256(key.substr(0, 63), kMessage, sig), SignatureCheck::BadKey);
    EXPECT_EQ(VerifyP256("\x04" + key, kMessage, sig), SignatureCheck::BadKey);
    EXPECT_EQ(VerifyP256(key, kMessage, sig.substr(0, 63)), SignatureCheck::BadSignature);
    EXPECT_EQ(VerifyP256Base64(kKey, kMessage, ""), SignatureCheck::BadSignature);
    std::string offCurve = key;
    offCurve[63] ^= 0x01;
    EXPECT_NE(VerifyP256(offCurve, kMessage, std::string(64, '\x01')), SignatureCheck::Valid);
}

TEST(Base64, RoundTripsAndRefusesEverySloppySpelling) {
    for (const std::string& bytes : {std::string(), std::string("f"), std::string("fo"), std::string("foo"),
                                     std::string("\x00\xff\x10\x80", 4), std::string(64, '\xfe')}) {
        std::string back;
        ASSERT_TRUE(DecodeBase64(EncodeBase64(bytes), back));
        EXPECT_EQ(back, bytes);
    }
    EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
    std::string out = "untouched";
    for (const char* bad : {"Zm8", "Zm8==", "Zm9=", "Z===", "Zm 8=", "Zm8=\n", "Zg==Zg==", "Zm-_", "=Zm8"}) {
        EXPECT_FALSE(DecodeBase64(bad, out)) << bad;
    }
    EXPECT_EQ(out, "untouched");
}

}  // namespace
}  // namespace vr

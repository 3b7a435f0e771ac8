// SHA-256 and ECDSA P-256 checks on the real CNG of the test prefix, against
// published known answers and a signature made by OpenSSL.
#include "net/signature.h"

#include <gtest/gtest.h>

#include <string>

#include "net/base64.h"
#include "net/sha256.h"

namespace vr {
namespace {

// Whichever way the hash runs (the processor's SHA extensions or CNG), fed
// in pieces that straddle block boundaries.
TEST(Sha256, KnownAnswersWhateverTheFeedSize) {
    const auto hex = [](const std::string& text, size_t piece) {
        Sha256 hash;
        for (size_t i = 0; i < text.size(); i += piece) hash.Update(text.data() + i, std::min(piece, text.size() - i));
        Sha256Digest digest{};
        EXPECT_TRUE(hash.Finish(digest));
        return DigestHex(digest);
    };
    // 56 bytes: the padding spills into a second block.
    const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (size_t piece : {1, 7, 64})
        EXPECT_EQ(hex(text, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1") << piece;
    EXPECT_EQ(hex("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    for (size_t piece : {1000, 999999})
        EXPECT_EQ(hex(std::string(1000000, 'a'), piece),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0")
            << piece;
}

// Made with: openssl ecparam -name prime256v1 -genkey; openssl dgst -sha256
// -sign over kMessage; the DER signature cut into r||s.
const std::string kMessage =
    "v 29\n#hash sha256\nf 1000 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad abc.txt\n";
const std::string kKey = "ynbMVNPpFUtsP7Smy1gyaWFAYTp2o8WOR8wgdCAEUEdrDaGYdUU++3d2VDJ/5JNCWljkL1SAFBiTtsLy3uYBHQ==";
const std::string kSig = "060VeG/ULg2lMT1eE1KcravnPPwPOHSFrdyxa4J/pB1sYpe8yice6OKr/k9wBiAOaLrh5bLJjqqQnA+CfkBtOQ==";

TEST(Signature, OnlyTheKeysOwnSignatureOverTheSameBytesIsValid) {
    std::string key, sig;
    ASSERT_TRUE(DecodeBase64(kKey, key));
    ASSERT_TRUE(DecodeBase64(kSig, sig));
    EXPECT_EQ(VerifyP256Base64(kKey, kMessage, kSig), SignatureCheck::Valid);
    EXPECT_EQ(VerifyP256(key, kMessage + " ", sig), SignatureCheck::Mismatch);
    EXPECT_EQ(VerifyP256(key, kMessage, sig.substr(0, 63) + static_cast<char>(sig[63] ^ 1)), SignatureCheck::Mismatch);
    EXPECT_EQ(VerifyP256Base64("not base64!", kMessage, kSig), SignatureCheck::BadKey);
    EXPECT_EQ(VerifyP256("\x04" + key, kMessage, sig), SignatureCheck::BadKey);
    EXPECT_EQ(VerifyP256Base64(kKey, kMessage, ""), SignatureCheck::BadSignature);
    EXPECT_EQ(VerifyP256(key, kMessage, sig.substr(0, 63)), SignatureCheck::BadSignature);
}

TEST(Base64, RoundTripsAndRefusesEverySloppySpelling) {
    std::string back = "untouched";
    for (const char* bad : {"Zm8", "Zm8==", "Zm9=", "Z===", "Zm 8=", "Zm8=\n", "Zg==Zg==", "Zm-_", "=Zm8"})
        EXPECT_FALSE(DecodeBase64(bad, back)) << bad;
    EXPECT_EQ(back, "untouched");
    EXPECT_EQ(EncodeBase64("fo\xff\x10\x80"), "Zm//EIA=");
    EXPECT_TRUE(DecodeBase64("Zm//EIA=", back));
    EXPECT_EQ(back, "fo\xff\x10\x80");
}

}  // namespace
}  // namespace vr

#include "net/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "net/base64.h"
#include "net/sha256.h"

namespace vr {
namespace {

constexpr size_t kCoordinate = 32;

BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) h = nullptr;
        return h;
    }();
    return provider;
}

struct KeyHandle {
    BCRYPT_KEY_HANDLE h = nullptr;
    ~KeyHandle() {
        if (h) BCryptDestroyKey(h);
    }
};

}  // namespace

SignatureCheck VerifyP256(const std::string& publicKey, const std::string& message, const std::string& signature) {
    if (publicKey.size() != 2 * kCoordinate) return SignatureCheck::BadKey;
    if (signature.size() != 2 * kCoordinate) return SignatureCheck::BadSignature;
    const BCRYPT_ALG_HANDLE alg = Provider();
    if (!alg) return SignatureCheck::Unavailable;

    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + publicKey.size());
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(kCoordinate)};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, publicKey.data(), publicKey.size());
    KeyHandle key;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key.h, blob.data(),
                                            static_cast<ULONG>(blob.size()), 0))) {
        key.h = nullptr;
        return SignatureCheck::BadKey;
    }

    Sha256 hash;
    hash.Update(message.data(), message.size());
    Sha256Digest digest;
    if (!hash.Finish(digest)) return SignatureCheck::Unavailable;
    std::vector<UCHAR> sig(signature.begin(), signature.end());
    const NTSTATUS status = BCryptVerifySignature(key.h, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                                  sig.data(), static_cast<ULONG>(sig.size()), 0);
    if (BCRYPT_SUCCESS(status)) return SignatureCheck::Valid;
    // STATUS_INVALID_SIGNATURE, or any other refusal: never a success.
    return SignatureCheck::Mismatch;
}

SignatureCheck VerifyP256Base64(const std::string& publicKeyBase64, const std::string& message,
                                const std::string& signatureBase64) {
    std::string key, sig;
    if (!DecodeBase64(publicKeyBase64, key) || key.size() != 2 * kCoordinate) return SignatureCheck::BadKey;
    if (!DecodeBase64(signatureBase64, sig) || sig.size() != 2 * kCoordinate) return SignatureCheck::BadSignature;
    return VerifyP256(key, message, sig);
}

const char* SignatureCheckText(SignatureCheck check) {
    switch (check) {
        case SignatureCheck::Valid: return "valid";
        case SignatureCheck::Mismatch: return "does not match the key";
        case SignatureCheck::BadKey: return "the public key is not a base64 P-256 point (X||Y, 64 bytes)";
        case SignatureCheck::BadSignature: return "the signature is not base64 r||s (64 bytes)";
        case SignatureCheck::Unavailable: return "CNG could not check it";
    }
    return "unknown";
}

}  // namespace vr

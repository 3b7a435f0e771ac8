// The Windows build's hashing and signing, on CNG (bcrypt.dll). Hashing and
// checking reuse the launcher's own files; only the tool generates and signs.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "crypto.h"
#include "net/sha256.h"
#include "net/signature.h"

namespace vr::publish {
namespace {

struct AlgGuard {
    BCRYPT_ALG_HANDLE h = nullptr;
    ~AlgGuard() {
        if (h) BCryptCloseAlgorithmProvider(h, 0);
    }
};
struct KeyGuard {
    BCRYPT_KEY_HANDLE h = nullptr;
    ~KeyGuard() {
        if (h) BCryptDestroyKey(h);
    }
};

bool OpenEcdsa(AlgGuard& alg) {
    if (BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg.h, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return true;
    alg.h = nullptr;
    return false;
}

}  // namespace

struct Sha256Hasher::Impl {
    vr::Sha256 hash;
};

Sha256Hasher::Sha256Hasher() : impl_(std::make_unique<Impl>()) {}
Sha256Hasher::~Sha256Hasher() = default;

void Sha256Hasher::Update(const void* data, size_t size) { impl_->hash.Update(data, size); }

std::string Sha256Hasher::FinishHex() {
    vr::Sha256Digest digest;
    return impl_->hash.Finish(digest) ? vr::DigestHex(digest) : std::string();
}

bool GenerateSigningKey(SigningKey& key, std::string& error) {
    AlgGuard alg;
    KeyGuard k;
    error = "CNG could not generate a P-256 key";
    if (!OpenEcdsa(alg) || !BCRYPT_SUCCESS(BCryptGenerateKeyPair(alg.h, &k.h, 256, 0))) return (k.h = nullptr, false);
    if (!BCRYPT_SUCCESS(BCryptFinalizeKeyPair(k.h, 0))) return false;
    // BCRYPT_ECCKEY_BLOB, then X, Y and d, 32 bytes each.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 96);
    ULONG got = 0;
    if (!BCRYPT_SUCCESS(BCryptExportKey(k.h, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                                        static_cast<ULONG>(blob.size()), &got, 0)) ||
        got != blob.size())
        return false;
    const char* p = reinterpret_cast<const char*>(blob.data()) + sizeof(BCRYPT_ECCKEY_BLOB);
    key.point.assign(p, 64);
    key.d.assign(p + 64, 32);
    error.clear();
    return true;
}

bool SignMessage(const SigningKey& key, const std::string& message, std::string& signature, std::string& error) {
    AlgGuard alg;
    KeyGuard k;
    error = "CNG refused the key";
    if (key.d.size() != 32 || key.point.size() != 64 || !OpenEcdsa(alg)) return false;
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 96);
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, key.point.data(), 64);
    std::memcpy(blob.data() + sizeof header + 64, key.d.data(), 32);
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(alg.h, nullptr, BCRYPT_ECCPRIVATE_BLOB, &k.h, blob.data(),
                                            static_cast<ULONG>(blob.size()), 0)))
        return (k.h = nullptr, false);
    vr::Sha256 hash;
    hash.Update(message.data(), message.size());
    vr::Sha256Digest digest;
    std::vector<UCHAR> sig(64);
    ULONG got = 0;
    error = "CNG could not sign";
    if (!hash.Finish(digest) ||
        !BCRYPT_SUCCESS(BCryptSignHash(k.h, nullptr, digest.data(), static_cast<ULONG>(digest.size()), sig.data(),
                                       static_cast<ULONG>(sig.size()), &got, 0)) ||
        got != sig.size())
        return false;
    signature.assign(sig.begin(), sig.end());
    error.clear();
    return true;
}

bool VerifyMessage(const std::string& point, const std::string& message, const std::string& signature) {
    return vr::VerifyP256(point, message, signature) == vr::SignatureCheck::Valid;
}

}  // namespace vr::publish

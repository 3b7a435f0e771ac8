#include "support/list_signer.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "net/base64.h"
#include "net/sha256.h"

namespace vr::test {

ListSigner::ListSigner() {
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return;
    BCRYPT_KEY_HANDLE k = nullptr;
    if (BCRYPT_SUCCESS(BCryptGenerateKeyPair(alg, &k, 256, 0)) && BCRYPT_SUCCESS(BCryptFinalizeKeyPair(k, 0))) {
        // BCRYPT_ECCKEY_BLOB, then X and Y, 32 bytes each.
        std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
        ULONG got = 0;
        if (BCRYPT_SUCCESS(BCryptExportKey(k, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob.data(),
                                           static_cast<ULONG>(blob.size()), &got, 0))) {
            publicKey = EncodeBase64(
                std::string(reinterpret_cast<const char*>(blob.data()) + sizeof(BCRYPT_ECCKEY_BLOB), 64));
        }
        key = k;
    }
    BCryptCloseAlgorithmProvider(alg, 0);
}

ListSigner::~ListSigner() {
    if (key) BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key));
}

std::string ListSigner::Sign(const std::string& list) const {
    Sha256 hash;
    hash.Update(list.data(), list.size());
    Sha256Digest digest{};
    UCHAR sig[64];
    ULONG got = 0;
    if (!key || !hash.Finish(digest) ||
        !BCRYPT_SUCCESS(BCryptSignHash(static_cast<BCRYPT_KEY_HANDLE>(key), nullptr, digest.data(),
                                       static_cast<ULONG>(digest.size()), sig, sizeof sig, &got, 0)))
        return {};
    return list + "#sig " + EncodeBase64(std::string(reinterpret_cast<const char*>(sig), got)) + "\n";
}

}  // namespace vr::test

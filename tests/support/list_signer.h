#pragma once
// Signs patch lists as veltrune-publish does (ECDSA P-256 over the bytes
// before "#sig", base64 r||s) with a key made for one test, so the
// launcher's judgement of signed lines is tested without the tool.
#include <string>

namespace vr::test {

class ListSigner {
public:
    ListSigner();  // a fresh key pair
    ~ListSigner();
    ListSigner(const ListSigner&) = delete;
    ListSigner& operator=(const ListSigner&) = delete;

    // Base64 of X||Y, as [patch] listKey takes it.
    const std::string& PublicKey() const { return publicKey; }
    // The list followed by its "#sig" line; empty if CNG failed.
    std::string Sign(const std::string& list) const;

private:
    void* key = nullptr;  // BCRYPT_KEY_HANDLE
    std::string publicKey;
};

}  // namespace vr::test

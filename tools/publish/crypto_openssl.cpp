// The Linux build's hashing and signing, on OpenSSL's libcrypto.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "crypto.h"
#include "key_file.h"

namespace vr::publish {
namespace {

struct PkeyGuard {
    EVP_PKEY* p = nullptr;
    ~PkeyGuard() { EVP_PKEY_free(p); }
};
struct MdGuard {
    EVP_MD_CTX* p = EVP_MD_CTX_new();
    ~MdGuard() { EVP_MD_CTX_free(p); }
};
struct SigGuard {
    ECDSA_SIG* p = nullptr;
    ~SigGuard() { ECDSA_SIG_free(p); }
};
struct BnGuard {
    BIGNUM* p = nullptr;
    ~BnGuard() { BN_free(p); }
};

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

}  // namespace

struct Sha256Hasher::Impl {
    MdGuard ctx;
    bool failed = false;
};

Sha256Hasher::Sha256Hasher() : impl_(std::make_unique<Impl>()) {
    impl_->failed = !impl_->ctx.p || EVP_DigestInit_ex(impl_->ctx.p, EVP_sha256(), nullptr) != 1;
}
Sha256Hasher::~Sha256Hasher() = default;

void Sha256Hasher::Update(const void* data, size_t size) {
    if (!impl_->failed && EVP_DigestUpdate(impl_->ctx.p, data, size) != 1) impl_->failed = true;
}

std::string Sha256Hasher::FinishHex() {
    unsigned char digest[32];
    unsigned int len = 0;
    if (impl_->failed || EVP_DigestFinal_ex(impl_->ctx.p, digest, &len) != 1 || len != sizeof digest) return {};
    impl_->failed = true;
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : digest) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

bool GenerateSigningKey(SigningKey& key, std::string& error) {
    PkeyGuard pkey{EVP_EC_gen("P-256")};
    BnGuard d;
    unsigned char point[65];
    size_t pointLen = 0;
    key.d.assign(32, '\0');
    if (!pkey.p || EVP_PKEY_get_bn_param(pkey.p, OSSL_PKEY_PARAM_PRIV_KEY, &d.p) != 1 ||
        BN_bn2binpad(d.p, reinterpret_cast<unsigned char*>(key.d.data()), 32) != 32 ||
        EVP_PKEY_get_octet_string_param(pkey.p, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointLen) != 1 ||
        pointLen != 65 || point[0] != 0x04) {
        error = "libcrypto could not generate a P-256 key";
        return false;
    }
    key.point.assign(reinterpret_cast<char*>(point) + 1, 64);
    return true;
}

bool SignMessage(const SigningKey& key, const std::string& message, std::string& signature, std::string& error) {
    const std::string der = Sec1Der(key);
    const unsigned char* p = Bytes(der);
    PkeyGuard pkey{d2i_PrivateKey(EVP_PKEY_EC, nullptr, &p, static_cast<long>(der.size()))};
    MdGuard md;
    size_t len = 0;
    if (!pkey.p || !md.p || EVP_DigestSignInit(md.p, nullptr, EVP_sha256(), nullptr, pkey.p) != 1 ||
        EVP_DigestSign(md.p, nullptr, &len, Bytes(message), message.size()) != 1) {
        error = "libcrypto refused the key";
        return false;
    }
    std::string sigDer(len, '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(sigDer.data());
    if (EVP_DigestSign(md.p, out, &len, Bytes(message), message.size()) != 1) {
        error = "libcrypto could not sign";
        return false;
    }
    // libcrypto speaks DER (SEQUENCE of two INTEGERs); the list carries r||s.
    const unsigned char* q = out;
    SigGuard sig{d2i_ECDSA_SIG(nullptr, &q, static_cast<long>(len))};
    signature.assign(64, '\0');
    unsigned char* raw = reinterpret_cast<unsigned char*>(signature.data());
    if (!sig.p || BN_bn2binpad(ECDSA_SIG_get0_r(sig.p), raw, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.p), raw + 32, 32) != 32) {
        error = "libcrypto gave an unreadable signature";
        return false;
    }
    return true;
}

bool VerifyMessage(const std::string& point, const std::string& message, const std::string& signature) {
    if (point.size() != 64 || signature.size() != 64) return false;
    const std::string der = PublicKeyDer(point);
    const unsigned char* p = Bytes(der);
    PkeyGuard pkey{d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()))};
    SigGuard sig{ECDSA_SIG_new()};
    if (!pkey.p || !sig.p) return false;
    BIGNUM* r = BN_bin2bn(Bytes(signature), 32, nullptr);
    BIGNUM* s = BN_bin2bn(Bytes(signature) + 32, 32, nullptr);
    if (!r || !s || ECDSA_SIG_set0(sig.p, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* sigDer = nullptr;
    const int sigLen = i2d_ECDSA_SIG(sig.p, &sigDer);
    if (sigLen <= 0) return false;
    MdGuard md;
    const bool ok = md.p && EVP_DigestVerifyInit(md.p, nullptr, EVP_sha256(), nullptr, pkey.p) == 1 &&
                    EVP_DigestVerify(md.p, sigDer, static_cast<size_t>(sigLen), Bytes(message), message.size()) == 1;
    OPENSSL_free(sigDer);
    return ok;
}

}  // namespace vr::publish

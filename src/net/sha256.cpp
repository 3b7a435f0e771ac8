#include "net/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

namespace vr {
namespace {

// One provider for the process, opened on first use and never closed: opening
// it costs far more than a hash, and CNG providers are thread-safe.
BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) h = nullptr;
        return h;
    }();
    return provider;
}

}  // namespace

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
    ~State() {
        if (hash) BCryptDestroyHash(hash);
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    const BCRYPT_ALG_HANDLE alg = Provider();
    if (!alg || !BCRYPT_SUCCESS(BCryptCreateHash(alg, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
        state_->hash = nullptr;
        state_->failed = true;
    }
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Update(const void* data, size_t size) {
    auto* p = static_cast<UCHAR*>(const_cast<void*>(data));
    // BCryptHashData takes a 32-bit length.
    while (size > 0 && !state_->failed) {
        const ULONG n = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, p, n, 0))) state_->failed = true;
        p += n;
        size -= n;
    }
}

bool Sha256::Finish(Sha256Digest& digest) {
    if (state_->failed) return false;
    state_->failed = true;  // a second Finish is a caller's mistake
    return BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
}

std::string DigestHex(const Sha256Digest& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(digest.size() * 2);
    for (uint8_t b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

}  // namespace vr

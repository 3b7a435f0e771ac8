#include "net/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <cstring>

#include "net/sha256_ni.h"

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
    // On the processor's SHA extensions instead of CNG: the running state,
    // a partial block and the length so far.
    bool ni = false;
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t block[64] = {};
    size_t held = 0;
    uint64_t total = 0;
    ~State() {
        if (hash) BCryptDestroyHash(hash);
    }

    void Feed(const uint8_t* p, size_t size) {
        total += size;
        if (held > 0) {
            const size_t n = size < 64 - held ? size : 64 - held;
            std::memcpy(block + held, p, n);
            held += n;
            p += n;
            size -= n;
            if (held < 64) return;
            Sha256NiBlocks(h, block, 1);
            held = 0;
        }
        Sha256NiBlocks(h, p, size / 64);
        p += size / 64 * 64;
        held = size % 64;
        std::memcpy(block, p, held);
    }

    void End(Sha256Digest& digest) {
        const uint64_t bits = total * 8;
        uint8_t tail[72] = {0x80};
        const size_t pad = (held < 56 ? 56 : 120) - held;
        for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        Feed(tail, pad + 8);
        for (int i = 0; i < 8; ++i) {
            for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<uint8_t>(h[i] >> (24 - 8 * k));
        }
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    if (Sha256NiAvailable()) {
        state_->ni = true;
        return;
    }
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
    if (state_->ni) {
        if (!state_->failed) state_->Feed(static_cast<const uint8_t*>(data), size);
        return;
    }
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
    if (state_->ni) {
        state_->End(digest);
        return true;
    }
    return BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
}

std::string Sha256Hex(const void* data, size_t size) {
    Sha256 hash;
    hash.Update(data, size);
    Sha256Digest digest{};
    return hash.Finish(digest) ? DigestHex(digest) : std::string();
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

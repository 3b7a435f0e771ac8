#pragma once
// Streaming SHA-256 on CNG (bcrypt.dll, part of Windows): bytes go in as they
// arrive, the digest comes out once at the end. Depends on nothing else of
// the launcher, so the Windows build of the publishing tool compiles it too.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vr {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, size_t size);

    // Once. False when CNG failed at any step (the digest is then unusable).
    bool Finish(Sha256Digest& digest);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Lower-case hex, as the patch list writes it.
std::string DigestHex(const Sha256Digest& digest);

// The lower-case hex SHA-256 of a block of bytes; empty when hashing failed.
std::string Sha256Hex(const void* data, size_t size);

}  // namespace vr

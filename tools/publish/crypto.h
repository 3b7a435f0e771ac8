#pragma once
// The hashing and signing the tool needs, behind one small interface: built
// on OpenSSL's libcrypto on Linux and on CNG (bcrypt.dll, the launcher's own
// files) on Windows. Keys and signatures are raw bytes: the private scalar d
// (32), the public point X||Y (64), signatures r||s (64), SHA-256 over the
// message.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vr::publish {

class Sha256Hasher {
public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    void Update(const void* data, size_t size);
    // Once: 64 lower-case hex digits, or empty when the library failed.
    std::string FinishHex();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

std::string Sha256Hex(const std::string& data);

struct SigningKey {
    std::string d;      // 32 bytes
    std::string point;  // X||Y, 64 bytes
};

bool GenerateSigningKey(SigningKey& key, std::string& error);
bool SignMessage(const SigningKey& key, const std::string& message, std::string& signature, std::string& error);
// Raw point and signature; false for anything but a valid signature.
bool VerifyMessage(const std::string& point, const std::string& message, const std::string& signature);

}  // namespace vr::publish

#pragma once
// The signing key on disk: PEM that openssl reads. The tool writes SEC1
// ("EC PRIVATE KEY") and reads that or unencrypted PKCS#8 ("PRIVATE KEY",
// what `openssl genpkey` writes), P-256 only.
#include <string>

#include "crypto.h"
#include "fs_util.h"

namespace vr::publish {

std::string KeyToPem(const SigningKey& key);

// False with the reason (encrypted, another key type or curve, not PEM...).
bool KeyFromPem(const std::string& pem, SigningKey& key, std::string& error);

// DER forms the OpenSSL backend hands to libcrypto.
std::string Sec1Der(const SigningKey& key);
std::string PublicKeyDer(const std::string& point);

// Reads and checks a key file: it must sign, and its own point must accept
// the signature (a file whose halves do not belong together is refused).
bool LoadSigningKey(const fs::path& file, SigningKey& key, std::string& error);

// Creates the file (never replaces one), readable by its owner only.
bool WriteNewKeyFile(const fs::path& file, const SigningKey& key, std::string& error);

}  // namespace vr::publish

#pragma once
// ECDSA P-256 signature checks on CNG (bcrypt.dll): the message is hashed
// with SHA-256, the signature is r||s (64 bytes), the public key the
// uncompressed point X||Y (64 bytes). Depends on nothing else of the
// launcher, so the Windows build of the publishing tool compiles it too.
#include <string>

namespace vr {

enum class SignatureCheck {
    Valid,
    Mismatch,      // well-formed, but not made by this key over these bytes
    BadKey,        // not base64, not 64 bytes, or not a point CNG accepts
    BadSignature,  // not base64 or not 64 bytes
    Unavailable,   // CNG could not be used
};

// Raw bytes: publicKey X||Y and signature r||s, 64 bytes each.
SignatureCheck VerifyP256(const std::string& publicKey, const std::string& message, const std::string& signature);

// Both as base64 text, as in Veltrune.ini and on a list's "#sig" line.
SignatureCheck VerifyP256Base64(const std::string& publicKeyBase64, const std::string& message,
                                const std::string& signatureBase64);

// For log lines: "valid", "does not match the key", ...
const char* SignatureCheckText(SignatureCheck check);

}  // namespace vr

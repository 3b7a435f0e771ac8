#pragma once
// The freshness object: a few lines served beside the patch list (its name
// plus ".fresh", uncompressed) that say which list a mirror holds, so the
// mirror probe can prefer the newest list on offer over the fastest mirror.
// Written by the publishing tool and read by the launcher, so both build
// this file.
//
//   veltrune-freshness 1
//   serial 1796600000
//   list <SHA-256 of the uncompressed list, lower-case hex>
//   expires 1797204800        (only when the list has "#expires")
//   sig <base64>              (only when signed; covers every byte before it)
//
// Lines end in LF, in this order, nothing else. The fields carry no '#', so
// the object served as a list reads as one without a serial (serial 0),
// which a launcher that has accepted a list before refuses.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vr {

inline constexpr char kFreshnessSuffix[] = ".fresh";
// A real one is about 250 bytes.
inline constexpr size_t kMaxFreshnessBytes = 4096;

struct Freshness {
    int64_t serial = 0;
    std::string listSha256;  // lower-case hex
    bool hasExpires = false;
    int64_t expires = 0;  // Unix seconds
    bool hasSig = false;
    std::string sigBase64;
    size_t signedBytes = 0;  // the signature covers text[0, signedBytes)
};

// The lines before "sig"; expires 0: none.
std::string FormatFreshness(int64_t serial, const std::string& listSha256, int64_t expires);
std::string AppendFreshnessSignature(const std::string& text, const std::string& sigBase64);

// Strict: false (with a short reason) for anything but the form above.
bool ParseFreshness(const std::string& text, Freshness& out, std::string& why);

}  // namespace vr

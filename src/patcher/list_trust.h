#pragma once
// What a patch list says about itself: the comment lines the publishing tool
// adds ("#hash sha256", "#serial", "#expires", "#launcher", "#sig"), and the
// judgement of a list against the launcher's public key. The scan of the
// file lines never looks at these lines.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace vr {

struct ListSeal {
    bool hashesSha256 = false;  // the reserved field of every file line is a SHA-256 to check
    bool hasSerial = false;
    int64_t serial = 0;
    bool hasExpires = false;
    int64_t expires = 0;  // Unix seconds
    // The first "#serial", "#expires" or "#launcher" line that does not read
    // by list_rules.h (its keyword), empty when none: under a key such a
    // list is refused rather than half understood.
    std::string malformed;
    bool hasVersion = false;
    int32_t lowestVersion = 0;  // of its "v" lines, read as the scan reads them
    bool hasLauncher = false;
    std::string launcherSha256;  // lower-case hex
    int64_t launcherSize = 0;
    bool hasSig = false;
    std::string sigBase64;
    size_t signedBytes = 0;      // the signature covers text[0, signedBytes)
    bool bytesAfterSig = false;  // anything but line ends after the "#sig" line
    // "#chunks" lines: the chunk index (its SHA-256) of each file published
    // in chunks, keyed by the file's SHA-256.
    std::map<std::string, std::string> chunkIndexes;
};

ListSeal ReadListSeal(const std::string& text);

enum class ListVerdict {
    Trusted,
    Unsigned,      // a key is set and the list has no "#sig" line
    BadSignature,  // not made by this key over these bytes, or bytes follow it
    Rollback,      // signed, but older than a list already seen for this key, or below the floor
    Expired,       // signed, but past its "#expires" time (one day of slack)
    Malformed,     // signed, but a "#serial", "#expires" or "#launcher" line does not read
    OlderBuild,    // signed, but a "v" line names a launcher build below ours
};

// What a signed list must not fall below.
struct ListFloors {
    int64_t highestSerial = -1;  // the highest serial accepted before for this key; -1: none
    int64_t minSerial = 0;       // the operator's [patch] listMinSerial
    int32_t ownBuild = 0;        // the launcher's own build: a list may not lead back from it
};

// With an empty key every list is Trusted. Expiry is judged last, so an
// Expired list passed every other check. `nowUnix` is the clock; `why`
// receives a short reason for a log line.
ListVerdict JudgeList(const ListSeal& seal, const std::string& text, const std::string& keyBase64,
                      const ListFloors& floors, int64_t nowUnix, std::string& why);

// Clock slack for "#expires": a player's clock a day behind or ahead does
// not lock them out or let a list live a day longer than that.
constexpr int64_t kExpirySlackSeconds = 86400;

// A short stable name for a public key (16 hex digits of its SHA-256), under
// which the highest serial seen is remembered.
std::string KeyId(const std::string& keyBase64);

}  // namespace vr

#include "patcher/list_trust.h"

#include <cstdlib>

#include "net/sha256.h"
#include "patcher/chunk_index.h"
#include "net/signature.h"

namespace vr {
namespace {

bool StartsWith(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

// Only plain decimal digits: a signed field that reads as something else is
// not half-understood.
bool ParseDigits(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

std::string TrimSpaces(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

ListSeal ReadListSeal(const std::string& text) {
    ListSeal seal;
    size_t pos = 0;
    if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        if (end == pos) {
            ++pos;
            continue;
        }
        const std::string line = text.substr(pos, end - pos);
        if (line[0] == '#') {
            if (TrimSpaces(line) == "#hash sha256") {
                seal.hashesSha256 = true;
            } else if (StartsWith(line, "#serial ") && !seal.hasSerial) {
                seal.hasSerial = ParseDigits(TrimSpaces(line.substr(8)), seal.serial);
            } else if (StartsWith(line, "#expires ") && !seal.hasExpires) {
                seal.hasExpires = ParseDigits(TrimSpaces(line.substr(9)), seal.expires);
            } else if (StartsWith(line, "#launcher ") && !seal.hasLauncher) {
                const std::string rest = TrimSpaces(line.substr(10));
                const size_t blank = rest.find(' ');
                if (blank != std::string::npos && ParseDigits(rest.substr(blank + 1), seal.launcherSize)) {
                    seal.launcherSha256 = rest.substr(0, blank);
                    seal.hasLauncher = true;
                }
            } else if (StartsWith(line, "#chunks ")) {
                std::string fileSha, indexSha;
                if (ParseChunksLine(TrimSpaces(line), fileSha, indexSha)) seal.chunkIndexes.emplace(fileSha, indexSha);
            } else if (StartsWith(line, "#sig ") && !seal.hasSig) {
                seal.hasSig = true;
                seal.sigBase64 = TrimSpaces(line.substr(5));
                seal.signedBytes = pos;
                seal.bytesAfterSig = text.find_first_not_of("\r\n", end) != std::string::npos;
                return seal;
            }
        }
        pos = end + 1;
    }
    return seal;
}

ListVerdict JudgeList(const ListSeal& seal, const std::string& text, const std::string& keyBase64,
                      int64_t highestSerial, int64_t nowUnix, std::string& why) {
    if (keyBase64.empty()) return ListVerdict::Trusted;
    if (!seal.hasSig) {
        why = "the list is not signed";
        return ListVerdict::Unsigned;
    }
    if (seal.bytesAfterSig) {
        why = "lines follow the signature";
        return ListVerdict::BadSignature;
    }
    const SignatureCheck check = VerifyP256Base64(keyBase64, text.substr(0, seal.signedBytes), seal.sigBase64);
    if (check != SignatureCheck::Valid) {
        why = std::string("signature check: ") + SignatureCheckText(check);
        return ListVerdict::BadSignature;
    }
    const int64_t serial = seal.hasSerial ? seal.serial : 0;
    if (serial < highestSerial) {
        why = "serial " + std::to_string(serial) + " is older than " + std::to_string(highestSerial) + " seen before";
        return ListVerdict::Rollback;
    }
    if (seal.hasExpires && nowUnix > seal.expires + kExpirySlackSeconds) {
        why = "the list expired at " + std::to_string(seal.expires) + " (now " + std::to_string(nowUnix) + ")";
        return ListVerdict::Expired;
    }
    return ListVerdict::Trusted;
}

std::string KeyId(const std::string& keyBase64) {
    Sha256 hash;
    hash.Update(keyBase64.data(), keyBase64.size());
    Sha256Digest digest{};
    if (!hash.Finish(digest)) return "0000000000000000";
    return DigestHex(digest).substr(0, 16);
}

}  // namespace vr

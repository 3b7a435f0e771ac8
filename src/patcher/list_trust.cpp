#include "patcher/list_trust.h"

#include <algorithm>
#include <cstdlib>

#include "net/sha256.h"
#include "patcher/chunk_index.h"
#include "net/signature.h"
#include "patcher/list_rules.h"

namespace vr {
namespace {

bool StartsWith(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

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
        const auto malformed = [&seal](const char* keyword) {
            if (seal.malformed.empty()) seal.malformed = keyword;
        };
        if (line.size() >= 2 && line[0] == 'v' && line[1] == ' ') {
            const int32_t version = std::atoi(line.c_str() + 2);
            seal.lowestVersion = seal.hasVersion ? std::min(seal.lowestVersion, version) : version;
            seal.hasVersion = true;
        } else if (line[0] == '#') {
            if (TrimSpaces(line) == "#hash sha256") {
                seal.hashesSha256 = true;
            } else if (StartsWith(line, "#serial ") && !seal.hasSerial) {
                seal.hasSerial = ParseListNumber(TrimSpaces(line.substr(8)), seal.serial);
                if (!seal.hasSerial) malformed("#serial");
            } else if (StartsWith(line, "#expires ") && !seal.hasExpires) {
                seal.hasExpires = ParseListNumber(TrimSpaces(line.substr(9)), seal.expires);
                if (!seal.hasExpires) malformed("#expires");
            } else if (StartsWith(line, "#launcher ") && !seal.hasLauncher) {
                seal.hasLauncher = ParseLauncherLine(line.substr(10), seal.launcherSha256, seal.launcherSize);
                if (!seal.hasLauncher) malformed("#launcher");
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
                      const ListFloors& floors, int64_t nowUnix, std::string& why) {
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
    if (!seal.malformed.empty()) {
        why = "malformed " + seal.malformed + " line";
        return ListVerdict::Malformed;
    }
    const int64_t serial = seal.hasSerial ? seal.serial : 0;
    if (serial < floors.highestSerial) {
        why = "serial " + std::to_string(serial) + " is older than " + std::to_string(floors.highestSerial) +
              " seen before";
        return ListVerdict::Rollback;
    }
    if (serial < floors.minSerial) {
        why = "serial " + std::to_string(serial) + " is below listMinSerial " + std::to_string(floors.minSerial);
        return ListVerdict::Rollback;
    }
    if (seal.hasVersion && seal.lowestVersion < floors.ownBuild) {
        why = "it names launcher build " + std::to_string(seal.lowestVersion) + ", older than this build " +
              std::to_string(floors.ownBuild);
        return ListVerdict::OlderBuild;
    }
    if (seal.hasExpires && nowUnix > seal.expires + kExpirySlackSeconds) {
        why = "the list expired at " + std::to_string(seal.expires) + " (now " + std::to_string(nowUnix) + ")";
        return ListVerdict::Expired;
    }
    return ListVerdict::Trusted;
}

std::string KeyId(const std::string& keyBase64) {
    const std::string hex = Sha256Hex(keyBase64.data(), keyBase64.size());
    return hex.empty() ? "0000000000000000" : hex.substr(0, 16);
}

}  // namespace vr

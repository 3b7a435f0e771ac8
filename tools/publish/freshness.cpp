#include "freshness.h"

#include "fs_util.h"
#include "list_format.h"
#include "net/base64.h"
#include "patcher/freshness.h"

namespace vr::publish {

bool WriteFreshness(const std::filesystem::path& path, const std::string& listText, const SigningKey* key,
                    std::string& error) {
    // Everything comes from the list itself, so the object cannot name
    // another serial or expiry than the bytes players fetch.
    const ParsedList list = ParseList(listText);
    const std::string body =
        FormatFreshness(list.hasSerial ? list.serial : 0, Sha256Hex(listText), list.hasExpires ? list.expires : 0);
    std::string current;
    Freshness seen;
    std::string why;
    if (ReadWholeFile(path, current) && ParseFreshness(current, seen, why) && seen.hasSig == (key != nullptr) &&
        current.compare(0, seen.hasSig ? seen.signedBytes : current.size(), body) == 0) {
        std::string sig;
        // An unchanged object keeps its bytes (and its caches).
        if (!key || (DecodeBase64(seen.sigBase64, sig) && VerifyMessage(key->point, body, sig))) return true;
    }
    std::string text = body;
    if (key) {
        std::string sig;
        if (!SignMessage(*key, body, sig, error)) {
            error = "cannot sign the freshness object: " + error;
            return false;
        }
        text = AppendFreshnessSignature(body, EncodeBase64(sig));
    }
    return WriteFileAtomic(path, text, error);
}

}  // namespace vr::publish

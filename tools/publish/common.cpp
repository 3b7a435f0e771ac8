#include "common.h"

#include <ctime>

#include "gzip_file.h"

namespace vr::publish {

std::string UtcText(int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    char buf[32] = "?";
    if (const std::tm* tm = std::gmtime(&t)) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", tm);
    return buf;
}

fs::path ChunkObjectFile(const fs::path& out, const std::string& sha) {
    return out / PathFromUtf8(ChunkObjectPath(sha) + ".gz");
}
fs::path IndexObjectFile(const fs::path& out, const std::string& sha) {
    return out / PathFromUtf8(IndexObjectPath(sha) + ".gz");
}

bool ReadIndex(const fs::path& out, const std::string& sha, ChunkIndex& index, std::string& why) {
    std::string text;
    const InflateResult r = InflateFile(IndexObjectFile(out, sha), &text);
    if (!r.ok) {
        why = r.error;
        return false;
    }
    if (r.sha256 != sha) {
        why = "content differs from its name (SHA-256 " + r.sha256 + ")";
        return false;
    }
    if (!ParseChunkIndex(text, index, why)) {
        why = "not a chunk index: " + why;
        return false;
    }
    return true;
}

}  // namespace vr::publish

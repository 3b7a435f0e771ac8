#include "patcher/chunk_index.h"

#include <cinttypes>
#include <cstdio>

namespace vr {
namespace {

constexpr const char kHeader[] = "veltrune-chunks 1";

bool ReadUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool ReadHex64(const std::string& text, uint64_t& value) {
    if (text.size() != 16) return false;
    value = 0;
    for (char c : text) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (d < 0) return false;
        value = value << 4 | static_cast<uint64_t>(d);
    }
    return true;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < line.size()) {
        const size_t space = line.find(' ', pos);
        const size_t stop = space == std::string::npos ? line.size() : space;
        out.push_back(line.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return out;
}

}  // namespace

bool IsLowerHexSha256(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string FormatChunkIndex(const ChunkIndex& index) {
    std::string out = std::string(kHeader) + "\n";
    char line[160];
    std::snprintf(line, sizeof line, "params %" PRIu32 " %" PRIu32 " %" PRIu32 "\nsize %" PRIu64 "\n",
                  index.params.minSize, index.params.avgSize, index.params.maxSize, index.fileSize);
    out += line;
    out.reserve(out.size() + index.chunks.size() * 96);
    for (const ChunkEntry& c : index.chunks) {
        std::snprintf(line, sizeof line, "c %" PRIu32 " %s %016" PRIx64 " ", c.size, c.sha256.c_str(), c.fast);
        out += line;
        out += c.wholeAt >= 0 ? std::to_string(c.wholeAt) : std::string("-");
        out += '\n';
    }
    return out;
}

// Strict on purpose: the index is the tool's own output, so anything else is
// damage or tampering, and the launcher falls back to the whole file.
bool ParseChunkIndex(const std::string& text, ChunkIndex& index, std::string& why) {
    index = ChunkIndex{};
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            why = "the last line has no line end";
            return false;
        }
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    if (lines.size() < 3 || lines[0] != kHeader) {
        why = "not a chunk index of version 1";
        return false;
    }
    const std::vector<std::string> p = Fields(lines[1]);
    uint64_t mn = 0, avg = 0, mx = 0;
    if (p.size() != 4 || p[0] != "params" || !ReadUnsigned(p[1], UINT32_MAX, mn) ||
        !ReadUnsigned(p[2], UINT32_MAX, avg) || !ReadUnsigned(p[3], UINT32_MAX, mx)) {
        why = "bad params line";
        return false;
    }
    index.params = {static_cast<uint32_t>(mn), static_cast<uint32_t>(avg), static_cast<uint32_t>(mx)};
    if (!ValidChunkParams(index.params)) {
        why = "chunk sizes out of range";
        return false;
    }
    const std::vector<std::string> s = Fields(lines[2]);
    if (s.size() != 2 || s[0] != "size" || !ReadUnsigned(s[1], INT64_MAX, index.fileSize)) {
        why = "bad size line";
        return false;
    }
    // More lines than the smallest chunks could give is a malformed index.
    const uint64_t most = index.fileSize / index.params.minSize + 1;
    if (lines.size() - 3 > most) {
        why = "more chunks than the file size allows";
        return false;
    }
    index.chunks.reserve(lines.size() - 3);
    uint64_t offset = 0;
    for (size_t i = 3; i < lines.size(); ++i) {
        const std::vector<std::string> f = Fields(lines[i]);
        ChunkEntry c;
        uint64_t size = 0;
        uint64_t at = 0;
        const bool hasAt = f.size() == 5 && f[4] != "-";
        if (f.size() != 5 || f[0] != "c" || !ReadUnsigned(f[1], index.params.maxSize, size) || size == 0 ||
            !IsLowerHexSha256(f[2]) || !ReadHex64(f[3], c.fast) || (hasAt && !ReadUnsigned(f[4], INT64_MAX, at))) {
            why = "bad chunk line " + std::to_string(i - 2);
            return false;
        }
        // Either every chunk has its place in the whole object, in order, or none.
        const bool firstHasAt = index.chunks.empty() ? hasAt : index.chunks.front().wholeAt >= 0;
        if (hasAt != firstHasAt || (hasAt && !index.chunks.empty() &&
                                    static_cast<int64_t>(at) <= index.chunks.back().wholeAt)) {
            why = "bad whole-object offset on chunk line " + std::to_string(i - 2);
            return false;
        }
        if (hasAt) c.wholeAt = static_cast<int64_t>(at);
        c.offset = offset;
        c.size = static_cast<uint32_t>(size);
        c.sha256 = f[2];
        offset += size;
        index.chunks.push_back(std::move(c));
    }
    if (offset != index.fileSize) {
        why = "the chunks add up to " + std::to_string(offset) + " bytes, not " + std::to_string(index.fileSize);
        return false;
    }
    return true;
}

std::string ChunkObjectPath(const std::string& sha256) {
    return std::string(kChunkRootName) + "/" + sha256.substr(0, 2) + "/" + sha256;
}

std::string IndexObjectPath(const std::string& sha256) { return std::string(kChunkRootName) + "/ix/" + sha256; }

bool ParseChunksLine(const std::string& line, std::string& fileSha256, std::string& indexSha256) {
    const std::vector<std::string> f = Fields(line);
    if (f.size() != 3 || f[0] != "#chunks" || !IsLowerHexSha256(f[1]) || !IsLowerHexSha256(f[2])) return false;
    fileSha256 = f[1];
    indexSha256 = f[2];
    return true;
}

std::string FormatChunksLine(const std::string& fileSha256, const std::string& indexSha256) {
    return "#chunks " + fileSha256 + " " + indexSha256;
}

}  // namespace vr

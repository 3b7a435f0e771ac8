#include "patcher/freshness.h"

#include <cstdlib>
#include <vector>

namespace vr {
namespace {

constexpr char kMagic[] = "veltrune-freshness 1";

bool Digits(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

bool LowerHex64(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// "key value" with exactly one blank; false for another key.
bool Field(const std::string& line, const char* key, std::string& value) {
    const std::string prefix = std::string(key) + " ";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    value = line.substr(prefix.size());
    return true;
}

}  // namespace

std::string FormatFreshness(int64_t serial, const std::string& listSha256, int64_t expires) {
    std::string text = std::string(kMagic) + "\nserial " + std::to_string(serial) + "\nlist " + listSha256 + "\n";
    if (expires > 0) text += "expires " + std::to_string(expires) + "\n";
    return text;
}

std::string AppendFreshnessSignature(const std::string& text, const std::string& sigBase64) {
    return text + "sig " + sigBase64 + "\n";
}

bool ParseFreshness(const std::string& text, Freshness& out, std::string& why) {
    out = Freshness{};
    if (text.empty() || text.back() != '\n') {
        why = "it does not end with a line end";
        return false;
    }
    std::vector<std::pair<size_t, std::string>> lines;  // start, text
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = text.find('\n', pos);
        lines.emplace_back(pos, text.substr(pos, end - pos));
        pos = end + 1;
    }
    size_t n = 0;
    std::string value;
    if (lines.size() < 3 || lines[n++].second != kMagic) {
        why = "it does not start with \"" + std::string(kMagic) + "\"";
        return false;
    }
    if (!Field(lines[n++].second, "serial", value) || !Digits(value, out.serial)) {
        why = "no readable serial line";
        return false;
    }
    if (!Field(lines[n++].second, "list", out.listSha256) || !LowerHex64(out.listSha256)) {
        why = "no readable list line";
        return false;
    }
    if (n < lines.size() && Field(lines[n].second, "expires", value)) {
        if (!Digits(value, out.expires)) {
            why = "the expires line does not read";
            return false;
        }
        out.hasExpires = true;
        ++n;
    }
    if (n < lines.size() && Field(lines[n].second, "sig", out.sigBase64)) {
        out.hasSig = true;
        out.signedBytes = lines[n].first;
        ++n;
    }
    if (n != lines.size()) {
        why = "unexpected line \"" + lines[n].second.substr(0, 40) + "\"";
        return false;
    }
    return true;
}

}  // namespace vr

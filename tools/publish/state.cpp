#include "state.h"

#include <cstdlib>
#include <sstream>

namespace vr::publish {
namespace {
constexpr const char* kHeader = "veltrune-publish state 1";
}

PublishState LoadState(const fs::path& file) {
    PublishState state;
    std::string text;
    if (!ReadWholeFile(file, text)) return state;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return state;  // unknown: start afresh
    while (std::getline(in, line)) {
        // size mtimeNs crc objSize objMtimeNs path (the path runs to the end)
        std::istringstream fields(line);
        ObjectRecord r;
        std::string crc;
        if (!(fields >> r.size >> r.mtimeNs >> crc >> r.objSize >> r.objMtimeNs)) continue;
        if (fields.get() != ' ') continue;
        std::string path;
        std::getline(fields, path);
        if (path.empty()) continue;
        r.crc = static_cast<uint32_t>(std::strtoul(crc.c_str(), nullptr, 16));
        state[path] = r;
    }
    return state;
}

bool SaveState(const fs::path& file, const PublishState& state, std::string& error) {
    std::string text = std::string(kHeader) + "\n";
    char crc[9];
    for (const auto& [path, r] : state) {
        std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(r.crc));
        text += std::to_string(r.size) + " " + std::to_string(r.mtimeNs) + " " + crc + " " + std::to_string(r.objSize) +
                " " + std::to_string(r.objMtimeNs) + " " + path + "\n";
    }
    // An unchanged state is left alone, so a run with nothing to do changes nothing.
    std::string current;
    if (ReadWholeFile(file, current) && current == text) return true;
    return WriteFileAtomic(file, text, error);
}

}  // namespace vr::publish

#include "state.h"

#include <cstdlib>
#include <sstream>

namespace vr::publish {
namespace {
// Version 1 kept a CRC-32 where the list now needs a SHA-256; its records
// cannot feed a list, so such a state is read as empty.
constexpr const char* kHeader = "veltrune-publish state 2";
}  // namespace

PublishState LoadState(const fs::path& file) {
    PublishState state;
    std::string text;
    if (!ReadWholeFile(file, text)) return state;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return state;  // unknown: start afresh
    while (std::getline(in, line)) {
        // size mtimeNs sha256 objSize objMtimeNs path (the path runs to the end)
        std::istringstream fields(line);
        ObjectRecord r;
        if (!(fields >> r.size >> r.mtimeNs >> r.sha256 >> r.objSize >> r.objMtimeNs)) continue;
        if (r.sha256.size() != 64) continue;
        if (fields.get() != ' ') continue;
        std::string path;
        std::getline(fields, path);
        if (path.empty()) continue;
        state[path] = r;
    }
    return state;
}

bool SaveState(const fs::path& file, const PublishState& state, std::string& error) {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [path, r] : state) {
        text += std::to_string(r.size) + " " + std::to_string(r.mtimeNs) + " " + r.sha256 + " " +
                std::to_string(r.objSize) + " " + std::to_string(r.objMtimeNs) + " " + path + "\n";
    }
    // An unchanged state is left alone, so a run with nothing to do changes nothing.
    std::string current;
    if (ReadWholeFile(file, current) && current == text) return true;
    return WriteFileAtomic(file, text, error);
}

}  // namespace vr::publish

#include "state.h"

#include <cstdlib>
#include <sstream>

namespace vr::publish {
namespace {
// Version 1 kept a CRC-32 where the list now needs a SHA-256; its records
// cannot feed a list, so such a state is read as empty. Version 2 lacks the
// chunk index and the list history; its records are still good.
constexpr const char* kHeader = "veltrune-publish state 3";
constexpr const char* kHeaderV2 = "veltrune-publish state 2";

bool IsSha(const std::string& s) {
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}
}  // namespace

SavedState LoadState(const fs::path& file) {
    SavedState state;
    std::string text;
    if (!ReadWholeFile(file, text)) return state;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || (line != kHeader && line != kHeaderV2)) return state;  // unknown: start afresh
    const bool v2 = line == kHeaderV2;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        if (line.rfind("list ", 0) == 0) {
            // list serial index...
            ListedIndexes l;
            std::string word, sha;
            if (!(fields >> word >> l.serial)) continue;
            while (fields >> sha) {
                if (IsSha(sha)) l.indexes.push_back(sha);
            }
            state.lists.push_back(std::move(l));
            continue;
        }
        // size mtimeNs sha256 objSize objMtimeNs index path (the path runs to the end; v2 has no index)
        ObjectRecord r;
        if (!(fields >> r.size >> r.mtimeNs >> r.sha256 >> r.objSize >> r.objMtimeNs)) continue;
        if (!IsSha(r.sha256)) continue;
        if (!v2) {
            if (!(fields >> r.indexSha256)) continue;
            if (r.indexSha256 == "-") r.indexSha256.clear();
            else if (!IsSha(r.indexSha256)) continue;
        }
        if (fields.get() != ' ') continue;
        std::string path;
        std::getline(fields, path);
        if (path.empty()) continue;
        state.objects[path] = r;
    }
    return state;
}

bool SaveState(const fs::path& file, const SavedState& state, std::string& error) {
    std::string text = std::string(kHeader) + "\n";
    for (const ListedIndexes& l : state.lists) {
        text += "list " + std::to_string(l.serial);
        for (const std::string& sha : l.indexes) text += " " + sha;
        text += "\n";
    }
    for (const auto& [path, r] : state.objects) {
        text += std::to_string(r.size) + " " + std::to_string(r.mtimeNs) + " " + r.sha256 + " " +
                std::to_string(r.objSize) + " " + std::to_string(r.objMtimeNs) + " " +
                (r.indexSha256.empty() ? "-" : r.indexSha256) + " " + path + "\n";
    }
    // An unchanged state is left alone, so a run with nothing to do changes nothing.
    std::string current;
    if (ReadWholeFile(file, current) && current == text) return true;
    return WriteFileAtomic(file, text, error);
}

}  // namespace vr::publish

#include "list_format.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "patcher/chunk_index.h"
#include "patcher/list_rules.h"

namespace vr::publish {
namespace {

// A folder line's path loses blanks at both ends when read.
bool FolderLineCarries(const PathParts& prefix) {
    return prefix.empty() || (prefix.front().front() != ' ' && prefix.back().back() != ' ');
}

bool NextToken(size_t& pos, const std::string& line, std::string& token) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    const size_t start = pos;
    while (pos < line.size() && line[pos] != ' ') ++pos;
    token = line.substr(start, pos - start);
    return !token.empty();
}

bool ParseFileLine(const std::string& line, ParsedFile& file) {
    size_t pos = 0;
    std::string f, mtime, size;
    if (!NextToken(pos, line, f) || f != "f") return false;
    if (!NextToken(pos, line, mtime) || !NextToken(pos, line, size) || !NextToken(pos, line, file.token)) return false;
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size()) return false;
    file.relPath = line.substr(pos);
    file.mtime = std::strtoll(mtime.c_str(), nullptr, 10);
    file.size = std::strtoll(size.c_str(), nullptr, 10);
    return true;
}

std::string TrimBlanks(const std::string& s) {
    const char* blanks = " \t\r\n";
    const size_t a = s.find_first_not_of(blanks);
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(blanks);
    return s.substr(a, b - a + 1);
}

}  // namespace

std::string JoinParts(const PathParts& parts, char separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

std::string CrcToken(uint32_t crc) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(crc));
    return buf;
}

bool IsSha256Token(const std::string& token) {
    return token.size() == 64 && token.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string AppendSignature(const std::string& list, const std::string& signatureBase64) {
    return list + "#sig " + signatureBase64 + "\n";
}

std::string BuildList(int32_t version, const std::vector<PathParts>& dirs, const std::vector<ListFile>& files,
                      std::vector<std::string>& problems, const std::vector<std::string>& comments) {
    std::map<PathParts, std::vector<const ListFile*>> filesByDir;
    std::set<PathParts> nonEmpty;
    for (const ListFile& f : files) {
        const PathParts parent(f.parts.begin(), f.parts.end() - 1);
        filesByDir[parent].push_back(&f);
        nonEmpty.insert(parent);
    }
    for (const PathParts& d : dirs) {
        if (!d.empty()) nonEmpty.insert(PathParts(d.begin(), d.end() - 1));
    }

    std::string out = "v " + std::to_string(version) + "\n";
    for (const std::string& c : comments) out += c + "\n";
    PathParts cur;
    const auto setFolder = [&](const PathParts& folder) {
        if (folder == cur) return;
        out += folder.empty() ? std::string("d\n") : "d " + JoinParts(folder) + "\n";
        cur = folder;
    };

    std::vector<PathParts> order;
    order.push_back({});
    order.insert(order.end(), dirs.begin(), dirs.end());
    for (const PathParts& dir : order) {
        if (!dir.empty()) {
            if (FolderLineCarries(dir)) {
                setFolder(dir);
            } else if (!nonEmpty.count(dir)) {
                // Only a folder line could create it, and its name would be trimmed.
                problems.push_back("\"" + JoinParts(dir, '/') +
                                   "\": an empty folder whose path starts or ends with a blank cannot be listed");
            }
        }
        const auto it = filesByDir.find(dir);
        if (it == filesByDir.end()) continue;
        for (const ListFile* f : it->second) {
            // The deepest folder line that survives trimming, with a remaining
            // name that does not start with a blank.
            bool placed = false;
            for (size_t k = dir.size() + 1; k-- > 0;) {
                const PathParts prefix(f->parts.begin(), f->parts.begin() + static_cast<long>(k));
                if (!FolderLineCarries(prefix) || f->parts[k].front() == ' ') continue;
                setFolder(prefix);
                const PathParts rest(f->parts.begin() + static_cast<long>(k), f->parts.end());
                out += "f " + std::to_string(f->mtime) + " " + std::to_string(f->size) + " " +
                       (f->sha256.empty() ? "-" : f->sha256) + " " + JoinParts(rest) + "\n";
                placed = true;
                break;
            }
            if (!placed) {
                problems.push_back("\"" + JoinParts(f->parts, '/') +
                                   "\": a name at the top of the game folder cannot start with a blank");
            }
        }
    }
    return out;
}

namespace {

std::string TrimEnd(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

void ReadComment(const std::string& line, size_t lineStart, const std::string& text, ParsedList& list) {
    size_t pos = 0;
    std::string word, a;
    NextToken(pos, line, word);
    if (word == "#hash" && NextToken(pos, line, a)) {
        list.sha256Hashes = a == "sha256";
    } else if (line.rfind("#serial ", 0) == 0) {
        // As the launcher reads them: the first of each, by list_rules.h.
        if (!list.hasSerial && !(list.hasSerial = ParseListNumber(TrimEnd(line.substr(8)), list.serial)))
            list.badSignedLines.push_back(line);
    } else if (line.rfind("#expires ", 0) == 0) {
        if (!list.hasExpires && !(list.hasExpires = ParseListNumber(TrimEnd(line.substr(9)), list.expires)))
            list.badSignedLines.push_back(line);
    } else if (line.rfind("#launcher ", 0) == 0) {
        if (!list.hasLauncher &&
            !(list.hasLauncher = ParseLauncherLine(line.substr(10), list.launcherSha256, list.launcherSize)))
            list.badSignedLines.push_back(line);
    } else if (word == "#chunks") {
        ParsedList::Chunked c;
        if (ParseChunksLine(line, c.fileSha256, c.indexSha256)) list.chunked.push_back(std::move(c));
        else list.badChunksLines.push_back(line);
    } else if (word == "#sig") {
        NextToken(pos, line, a);
        list.hasSignature = true;
        list.signature = a;
        list.signedPart = text.substr(0, lineStart);
        list.signatureLast = true;
    }
}

}  // namespace

ParsedList ParseList(const std::string& input) {
    ParsedList list;
    std::string text = input;
    const size_t bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    text.erase(0, bom);
    std::string curDir;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const size_t lineStart = start;
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        list.signatureLast = false;
        if (line[0] == '#') {
            // A signature covers the bytes as served, mark included.
            ReadComment(line, lineStart + bom, input, list);
        } else if (line.size() >= 2 && line[0] == 'v' && line[1] == ' ') {
            if (!list.hasVersion) {
                list.hasVersion = true;
                list.version = std::atoi(line.c_str() + 2);
            }
        } else if (line[0] == 'd' && (line.size() == 1 || line[1] == ' ')) {
            curDir = line.size() > 2 ? TrimBlanks(line.substr(2)) : std::string();
            if (!curDir.empty() && curDir.back() != '\\') curDir += '\\';
            if (!curDir.empty()) list.dirs.push_back(curDir);
        } else if (line[0] == 'f' && line.size() >= 2 && line[1] == ' ') {
            ParsedFile file;
            if (!ParseFileLine(line, file)) continue;
            file.relPath = curDir + file.relPath;
            list.files.push_back(std::move(file));
        }
    }
    return list;
}

}  // namespace vr::publish

#pragma once
// The patch list as the launcher reads it:
//   v <build>                          launcher build the servers expect
//   d [<folder>]                       folder of the following file lines
//   f <mtime> <size> <crc32> <name>    one file; the name runs to the line end
// Folder paths are trimmed by the reader and file names lose their leading
// blanks, so the writer picks, for each file, a folder line and name that
// survive both; names that cannot survive are reported, not written.
#include <cstdint>
#include <string>
#include <vector>

namespace vr::publish {

using PathParts = std::vector<std::string>;  // components, UTF-8, root first

struct ListFile {
    PathParts parts;
    int64_t mtime = 0;  // Unix seconds
    uint64_t size = 0;
    uint32_t crc = 0;   // CRC-32 of the content, written as the reserved token
};

// The list text for `files` (sorted by parts) and `dirs` (every folder of the
// tree, sorted by parts; each gets a folder line so that empty folders are
// created too). Anything that cannot be written appends "<path>: <reason>" to
// `problems`.
std::string BuildList(int32_t version, const std::vector<PathParts>& dirs, const std::vector<ListFile>& files,
                      std::vector<std::string>& problems);

// "a\b\c" from parts.
std::string JoinParts(const PathParts& parts, char separator = '\\');

struct ParsedFile {
    std::string relPath;  // folder + name, backslash-separated, as the launcher forms it
    int64_t mtime = 0;
    int64_t size = 0;
    std::string token;    // the reserved field
};

struct ParsedList {
    bool hasVersion = false;
    int version = 0;  // the first version line
    std::vector<std::string> dirs;  // folder lines with a path, as read (trailing backslash added)
    std::vector<ParsedFile> files;
};

// Reads a list by the launcher's rules (byte-order mark dropped, CR and LF
// both end lines, unknown lines ignored).
ParsedList ParseList(const std::string& text);

std::string CrcToken(uint32_t crc);

}  // namespace vr::publish

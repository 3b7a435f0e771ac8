#pragma once
// The patch list as the launcher reads it:
//   v <build>                          launcher build the servers expect
//   d [<folder>]                       folder of the following file lines
//   f <mtime> <size> <sha256> <name>   one file; the name runs to the line end
//   #hash sha256                       the reserved fields are SHA-256, to be checked
//   #serial <n>                        grows with every publish
//   #expires <unix seconds>            a signed list is refused after that
//   #launcher <sha256> <size>          the replacement launcher
//   #chunks <sha256> <index sha256>    the chunk index of the file with that content
//   #sig <base64>                      last: ECDSA P-256 (r||s) over every byte before it
// Launchers that know nothing of the "#" lines skip them as unknown lines.
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
    std::string sha256;  // of the content, lower-case hex, written as the reserved token
};

// The list text for `files` (sorted by parts) and `dirs` (every folder of the
// tree, sorted by parts; each gets a folder line so that empty folders are
// created too). `comments` ("#..." lines) follow the version line. Anything
// that cannot be written appends "<path>: <reason>" to `problems`.
std::string BuildList(int32_t version, const std::vector<PathParts>& dirs, const std::vector<ListFile>& files,
                      std::vector<std::string>& problems, const std::vector<std::string>& comments = {});

// The list followed by its "#sig" line.
std::string AppendSignature(const std::string& list, const std::string& signatureBase64);

// "a\b\c" from parts.
std::string JoinParts(const PathParts& parts, char separator = '\\');

struct ParsedFile {
    std::string relPath;  // folder + name, backslash-separated, as the launcher forms it
    int64_t mtime = 0;
    int64_t size = 0;
    std::string token;  // the reserved field
};

struct ParsedList {
    bool hasVersion = false;
    int version = 0;            // the first version line
    bool sha256Hashes = false;  // "#hash sha256"
    bool hasSerial = false;
    int64_t serial = 0;
    bool hasExpires = false;
    int64_t expires = 0;
    bool hasLauncher = false;
    std::string launcherSha256;
    int64_t launcherSize = -1;
    // The last "#sig" line: its base64, the bytes it covers (everything
    // before it), and whether anything but line ends follows it.
    bool hasSignature = false;
    std::string signature;
    std::string signedPart;
    bool signatureLast = false;
    struct Chunked {
        std::string fileSha256, indexSha256;
    };
    std::vector<Chunked> chunked;  // "#chunks" lines, in list order
    std::vector<std::string> badChunksLines;
    // "#serial", "#expires" or "#launcher" lines that do not read by the
    // launcher's rules (list_rules.h); their fields stay unset.
    std::vector<std::string> badSignedLines;
    std::vector<std::string> dirs;  // folder lines with a path, as read (trailing backslash added)
    std::vector<ParsedFile> files;
};

// Reads a list by the launcher's rules (byte-order mark dropped, CR and LF
// both end lines, unknown lines ignored).
ParsedList ParseList(const std::string& text);

std::string CrcToken(uint32_t crc);

// 64 lower-case hex digits.
bool IsSha256Token(const std::string& token);

}  // namespace vr::publish

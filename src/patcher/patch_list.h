#pragma once
// The patch list: the text every server holds naming each game file with its
// size and modification time, the folders they live in and the launcher build
// the server expects. Parsing, and the scan that decides what to download.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vr {

// One entry of the download queue, in list order.
struct PendingFile {
    std::wstring relPath;  // relative to the game folder
    int64_t mtime = 0;     // Unix seconds, stamped on the file once downloaded
    int64_t size = 0;      // the listed size of the file's bytes
    std::string sha256;    // the listed hash (lower-case hex); empty when the list carries none
};

struct ScanOptions {
    // The list says "#hash sha256": keep each file's hash for the download.
    bool hashes = false;
    // Repair: with hashes, a file is current only when its bytes hash to the
    // listed value (size and time are not trusted); without, as usual.
    bool verifyContents = false;
    // During a repair, after each file and every few MiB: files checked,
    // files to check, bytes hashed, bytes to hash.
    std::function<void(int done, int total, int64_t bytesDone, int64_t bytesTotal)> verifyProgress;
    const std::atomic<bool>* cancel = nullptr;  // read between blocks of a repair
};

struct ListScan {
    bool outOfDate = false;          // a version line differs from ours
    int serverVersion = 0;           // that line's number, when outOfDate
    std::vector<PendingFile> queue;  // empty when outOfDate
    // Every folder a folder line names (relative, ending in a backslash), in
    // list order: the pass creates them, empty ones too.
    std::vector<std::wstring> folders;
    bool cancelled = false;          // a repair saw the cancel flag
};

// Scans the decompressed list against baseDir (ending in a backslash); it
// only reads. Entries that would reach outside baseDir, that name the
// launcher's staged copies, or its own files in the root, are logged and
// skipped.
ListScan ScanPatchList(const std::string& text, const std::wstring& baseDir, int32_t patchVersion,
                       const ScanOptions& options = {});

// Lower-case hex SHA-256 of a local file's bytes, reading in large blocks;
// `onBlock` gets each block's size and may stop the read by returning false.
// False when the file cannot be read (or was stopped).
bool HashLocalFile(const std::wstring& path, std::string& hex, const std::function<bool(uint64_t)>& onBlock);

// "f <mtime> <size> <reserved> <name>"; the name is the rest of the line,
// inner and trailing blanks kept. On false the outputs are not to be used.
// `reserved`, when given, receives the fourth field (the file's hash in a
// list that says "#hash sha256").
bool ParseFileLine(const std::string& line, int64_t& mtime, int64_t& size, std::string& name,
                   std::string* reserved = nullptr);

// Skips blanks from pos, takes characters up to the next blank or the end;
// false when that token is empty. pos ends just after the token.
bool NextToken(size_t& pos, const std::string& line, std::string& token);

// The list_rules.h rule (shared with veltrune-publish) for a wide path.
bool IsSafeListPath(const std::wstring& path, bool allowTrailingSlash);

// The list's Unix seconds as FILETIME ticks (100 ns since 1601); false when
// the time lies outside what a FILETIME can hold.
bool UnixToFileTimeTicks(int64_t unixSeconds, uint64_t& ticks);
// The other way: whole Unix seconds of a FILETIME's ticks (rounded down).
int64_t FileTimeTicksToUnix(uint64_t ticks);

}  // namespace vr

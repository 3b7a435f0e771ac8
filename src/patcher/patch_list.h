#pragma once
// The patch list: the text every server holds naming each game file with its
// size and modification time, the folders they live in and the launcher build
// the server expects. Parsing, and the scan that decides what to download.
#include <cstdint>
#include <string>
#include <vector>

namespace vr {

// One entry of the download queue, in list order.
struct PendingFile {
    std::wstring relPath;  // relative to the game folder
    int64_t mtime = 0;     // Unix seconds, stamped on the file once downloaded
};

struct ListScan {
    bool outOfDate = false;  // a version line differs from ours
    int serverVersion = 0;   // that line's number, when outOfDate
    std::vector<PendingFile> queue;  // empty when outOfDate
};

// Scans the decompressed list against baseDir (ending in a backslash),
// creating the folders of its folder lines. Entries that would reach outside
// baseDir are logged and skipped.
ListScan ScanPatchList(const std::string& text, const std::wstring& baseDir, int32_t patchVersion);

// "f <mtime> <size> <reserved> <name>"; the name is the rest of the line,
// inner and trailing blanks kept. On false the outputs are not to be used.
bool ParseFileLine(const std::string& line, int64_t& mtime, int64_t& size, std::string& name);

// Skips blanks from pos, takes characters up to the next blank or the end;
// false when that token is empty. pos ends just after the token.
bool NextToken(size_t& pos, const std::string& line, std::string& token);

// True when a path from the list names a file inside the game folder:
// relative, no drive or colon, no leading backslash, no empty, "." or ".."
// component, no control character, no device name such as CON or com1.txt
// ('/' counts as '\'). A single trailing backslash is allowed only when
// allowTrailingSlash (folder lines).
bool IsSafeListPath(const std::wstring& path, bool allowTrailingSlash);

// The list's Unix seconds as FILETIME ticks (100 ns since 1601); false when
// the time lies outside what a FILETIME can hold.
bool UnixToFileTimeTicks(int64_t unixSeconds, uint64_t& ticks);

}  // namespace vr

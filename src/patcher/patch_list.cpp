#include "patcher/patch_list.h"

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "net/sha256.h"
#include "patcher/list_rules.h"
#include "patcher/staged_file.h"
#include "platform/handles.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

// Seconds from 1601-01-01 (FILETIME epoch) to 1970-01-01.
constexpr int64_t kEpochDelta = 11644473600LL;
constexpr int64_t kTicksPerSecond = 10000000;
// A copy or an archive may round times to two seconds.
constexpr int64_t kTimeSlack = 2;

bool IsBlank(char c) { return c == ' '; }

// Lines at every CR and LF; empty pieces vanish with blank lines and CRLF.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF) {
        start = 3;
    }
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        if (end > start) lines.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return lines;
}

bool IsCurrent(const std::wstring& fullPath, int64_t size, int64_t mtime) {
    // A time no file can carry is never matched, and the difference below
    // cannot overflow for the times that remain.
    uint64_t listed = 0;
    if (!UnixToFileTimeTicks(mtime, listed)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(fullPath.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    const int64_t localSize = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (localSize != size) return false;
    const uint64_t ticks =
        (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    const int64_t diff = FileTimeTicksToUnix(ticks) - mtime;
    return diff >= -kTimeSlack && diff <= kTimeSlack;
}

// "PATCHE~1.INI" may be the 8.3 alias of an existing PatcherSettings.ini.
bool IsShortNameOfOwnFile(const std::wstring& baseDir, const std::wstring& name) {
    if (name.find(L'~') == std::wstring::npos) return false;
    wchar_t longPath[MAX_PATH];
    const DWORD n = GetLongPathNameW((baseDir + name).c_str(), longPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    const std::wstring full(longPath, n);
    return IsLauncherOwnName(WideToUtf8(full.substr(full.find_last_of(L"\\/") + 1)));
}

bool LocalSize(const std::wstring& fullPath, int64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(fullPath.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// A repair reports at most every this many bytes within one file.
constexpr int64_t kVerifyReportBytes = 8ll << 20;
constexpr DWORD kHashBlock = 1u << 20;

}  // namespace

bool HashLocalFile(const std::wstring& path, std::string& hex, const std::function<bool(uint64_t)>& onBlock) {
    const KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    // Not zeroed: a repair of many small files would otherwise spend its time
    // clearing fresh megabytes. Not thread_local either: MinGW's thread-exit
    // destructors have crashed worker threads under Wine.
    const auto block = std::make_unique_for_overwrite<uint8_t[]>(kHashBlock);
    Sha256 hash;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), block.get(), kHashBlock, &got, nullptr)) return false;
        if (got == 0) break;
        hash.Update(block.get(), got);
        if (onBlock && !onBlock(got)) return false;
    }
    Sha256Digest digest{};
    if (!hash.Finish(digest)) return false;
    hex = DigestHex(digest);
    return true;
}

bool UnixToFileTimeTicks(int64_t unixSeconds, uint64_t& ticks) {
    // FILETIME is read as a signed 64-bit count by the file system calls.
    constexpr int64_t kMaxUnix = INT64_MAX / kTicksPerSecond - kEpochDelta;
    if (unixSeconds < -kEpochDelta || unixSeconds > kMaxUnix) return false;
    ticks = static_cast<uint64_t>(unixSeconds + kEpochDelta) * kTicksPerSecond;
    return true;
}

int64_t FileTimeTicksToUnix(uint64_t ticks) {
    return static_cast<int64_t>(ticks / static_cast<uint64_t>(kTicksPerSecond)) - kEpochDelta;
}

bool NextToken(size_t& pos, const std::string& line, std::string& token) {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    const size_t start = pos;
    while (pos < line.size() && !IsBlank(line[pos])) ++pos;
    token.assign(line, start, pos - start);
    return !token.empty();
}

bool ParseFileLine(const std::string& line, int64_t& mtime, int64_t& size, std::string& name,
                   std::string* reservedOut) {
    size_t pos = 0;
    std::string kind, mtimeText, sizeText, reserved;
    if (!NextToken(pos, line, kind) || kind != "f") return false;
    if (!NextToken(pos, line, mtimeText) || !NextToken(pos, line, sizeText) || !NextToken(pos, line, reserved)) {
        return false;
    }
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos >= line.size()) return false;
    name.assign(line, pos, std::string::npos);
    mtime = _strtoi64(mtimeText.c_str(), nullptr, 10);
    size = _strtoi64(sizeText.c_str(), nullptr, 10);
    if (reservedOut) *reservedOut = reserved;
    return true;
}

bool IsSafeListPath(const std::wstring& path, bool allowTrailingSlash) {
    return IsSafeListPath(WideToUtf8(path), allowTrailingSlash);
}

// A repair: every file whose size matches is hashed and queued unless its
// bytes are the listed ones; files of another size are queued as they are.
void HashForRepair(std::vector<PendingFile>& entries, const std::vector<bool>& toHash, int64_t bytesToHash,
                   const std::wstring& baseDir, const ScanOptions& options, ListScan& scan) {
    const int total = static_cast<int>(entries.size());
    int64_t hashed = 0, lastReport = 0;
    const auto report = [&](int done) {
        if (options.verifyProgress) options.verifyProgress(done, total, hashed, bytesToHash);
        lastReport = hashed;
    };
    report(0);
    for (int i = 0; i < total; ++i) {
        if (options.cancel && options.cancel->load()) {
            scan.cancelled = true;
            scan.queue.clear();
            return;
        }
        PendingFile& entry = entries[i];
        bool current = false;
        if (toHash[i]) {
            std::string hex;
            const bool read = HashLocalFile(baseDir + entry.relPath, hex, [&](uint64_t n) {
                hashed += static_cast<int64_t>(n);
                if (hashed - lastReport >= kVerifyReportBytes) report(i);
                return !(options.cancel && options.cancel->load());
            });
            current = read && hex == entry.sha256;
            if (read && !current) {
                LogFormat("Patcher: %ls does not match the list's SHA-256; it will be downloaded again",
                          entry.relPath.c_str());
            }
        }
        if (!current) scan.queue.push_back(std::move(entry));
        report(i + 1);
    }
}

ListScan ScanPatchList(const std::string& text, const std::wstring& baseDir, int32_t patchVersion,
                       const ScanOptions& options) {
    ListScan scan;
    const bool byHash = options.verifyContents && options.hashes;
    // A repair hashes after the whole list is read, so its progress knows
    // the total; these are the files whose size already matches.
    std::vector<PendingFile> entries;
    std::vector<bool> toHash;
    int64_t bytesToHash = 0;
    std::wstring curDir;
    // After a refused folder line its files are skipped too, rather than
    // landing in whatever folder came before.
    bool curDirRefused = false;
    for (const std::string& line : SplitLines(text)) {
        const char kind = line[0];
        const bool secondBlank = line.size() >= 2 && line[1] == ' ';
        if (kind == 'v' && secondBlank) {
            const int version = std::atoi(line.c_str() + 2);
            if (version != patchVersion) {
                scan.outOfDate = true;
                scan.serverVersion = version;
                scan.queue.clear();
                return scan;
            }
        } else if (kind == 'd' && (line.size() == 1 || secondBlank)) {
            const std::string folderText = TrimBlanks(line.size() > 2 ? line.substr(2) : std::string());
            const std::wstring folder = Utf8ToWide(folderText);
            if (folder.empty()) {
                curDir.clear();
                curDirRefused = false;
                continue;
            }
            if (!IsSafeListPath(folderText, true)) {
                LogFormat("Patcher: refused unsafe path %ls", folder.c_str());
                curDir.clear();
                curDirRefused = true;
                continue;
            }
            curDir = folder;
            curDirRefused = false;
            if (curDir.back() != L'\\') curDir += L'\\';
            scan.folders.push_back(curDir);
        } else if (kind == 'f' && secondBlank) {
            int64_t mtime = 0, size = 0;
            std::string name, reserved;
            if (!ParseFileLine(line, mtime, size, name, &reserved) || curDirRefused) continue;
            const std::wstring wideName = Utf8ToWide(name);
            if (!IsSafeListPath(name, false)) {
                LogFormat("Patcher: refused unsafe path %ls", (curDir + wideName).c_str());
                continue;
            }
            // A list never rewrites the launcher's settings or its log.
            if (curDir.empty() && (IsLauncherOwnName(name) || IsShortNameOfOwnFile(baseDir, wideName))) {
                LogFormat("Patcher: refused %ls: the launcher's own file is never replaced from a list",
                          wideName.c_str());
                continue;
            }
            // The launcher's own staged copies are never game files.
            if (StagedFile::IsStagedName(wideName)) {
                LogFormat("Patcher: refused %ls: the launcher keeps its unfinished downloads under such names",
                          (curDir + wideName).c_str());
                continue;
            }
            PendingFile entry{curDir + wideName, mtime, size, options.hashes ? Lower(reserved) : std::string()};
            if (byHash) {
                int64_t localSize = -1;
                const bool sizeMatches = LocalSize(baseDir + entry.relPath, localSize) && localSize == size;
                if (sizeMatches) bytesToHash += size;
                entries.push_back(std::move(entry));
                toHash.push_back(sizeMatches);
            } else if (!IsCurrent(baseDir + entry.relPath, size, mtime)) {
                scan.queue.push_back(std::move(entry));
            }
        }
    }
    if (byHash) HashForRepair(entries, toHash, bytesToHash, baseDir, options, scan);
    return scan;
}

}  // namespace vr

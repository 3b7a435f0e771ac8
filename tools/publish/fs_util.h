#pragma once
// The few file-system operations the publisher needs, with the same meaning
// on Linux and Windows: names travel as UTF-8, times as nanoseconds since
// 1970, and a replacement is one atomic rename.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace vr::publish {

namespace fs = std::filesystem;

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsValidUtf8(const std::string& text);

// UTF-8 text to a path and back. FromPath fails (returns false) for names that
// are not valid UTF-8 (Linux bytes) or not valid UTF-16 (lone surrogates).
fs::path PathFromUtf8(const std::string& utf8);
bool Utf8FromPath(const fs::path& path, std::string& utf8);
// For messages: never fails; invalid sequences are shown as \xNN.
std::string Printable(const fs::path& path);

struct FileInfo {
    bool exists = false;
    bool isDir = false;
    bool isFile = false;  // regular file
    bool isLink = false;  // symbolic link, junction or other reparse point (not followed)
    uint64_t size = 0;
    int64_t mtimeNs = 0;  // nanoseconds since 1970-01-01 UTC
};

// Information about the entry itself (links are not followed).
FileInfo StatNoFollow(const fs::path& path);
// Information about what the path finally names (links followed).
FileInfo StatFollow(const fs::path& path);

// Whole seconds since 1970, rounded down, from nanoseconds.
int64_t UnixSeconds(int64_t ns);

std::FILE* OpenFile(const fs::path& path, const char* mode);

// Replaces `to` by `from` in one step: a reader sees the old or the new file,
// never a mix.
bool ReplaceAtomically(const fs::path& from, const fs::path& to, std::string& error);

// Writes the bytes to a temporary name beside `path`, then replaces `path`.
bool WriteFileAtomic(const fs::path& path, const std::string& bytes, std::string& error);

bool ReadWholeFile(const fs::path& path, std::string& bytes);

// Marker of temporary names; objects, the list and the flag never end in it.
inline constexpr const char* kTempSuffix = ".vrpub-tmp";
fs::path TempNameFor(const fs::path& path);

bool IsTerminal(std::FILE* stream);

}  // namespace vr::publish

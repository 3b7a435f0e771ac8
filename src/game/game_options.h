#pragma once
// The game's six display options and the game's own settings file, in its
// older line format (Windows-1252 "key value" lines) or its INI format.
#include <cstdint>
#include <functional>
#include <string>

namespace vr {

struct GameOptions {
    int32_t detail = 2;
    int32_t distant = 2;
    int32_t view = 2;
    int32_t shadow = 2;
    bool fullscreen = false;
    int32_t resW = 1024;
    int32_t resH = 768;
};

// Never fails: a missing or unreadable file gives the defaults.
GameOptions LoadGameOptions(const std::wstring& path, bool useNewConfigFormat);

// Reads up to `size` bytes of an open file (a Win32 HANDLE) into `buffer`:
// false when the read fails (GetLastError says why), `got` 0 at the end.
// A test seam; empty means ReadFile.
using ReadBlockFn = std::function<bool(void* file, char* buffer, uint32_t size, uint32_t& got)>;

// Line format rewrites only the lines already present (false, with a log
// line, when the file is missing or cannot be read to its end); INI format
// always returns true.
bool SaveGameOptions(const std::wstring& path, const GameOptions& options, bool useNewConfigFormat,
                     const ReadBlockFn& readBlock = {});

// The raw bytes of a file; false only when it cannot be opened. A read that
// fails part-way keeps the bytes read so far; `complete`, when given, tells
// whether the end of the file was reached.
bool ReadWholeFile(const std::wstring& path, std::string& out, bool* complete = nullptr,
                   const ReadBlockFn& readBlock = {});

}  // namespace vr

#pragma once
// The game's six display options and the game's own settings file, in its
// older line format (Windows-1252 "key value" lines) or its INI format.
#include <cstdint>
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

// Line format rewrites only the lines already present (false, with a log
// line, when the file is missing); INI format always returns true.
bool SaveGameOptions(const std::wstring& path, const GameOptions& options, bool useNewConfigFormat);

// The raw bytes of a file; false only when it cannot be opened.
bool ReadWholeFile(const std::wstring& path, std::string& out);

}  // namespace vr

#pragma once
// Rules the launcher and veltrune-publish must apply identically to what a
// patch list says: which paths may be written, which names are the
// launcher's own, and how the signed lines' numbers and the "#launcher" line
// read. Plain C++ (UTF-8 strings), built into both.
#include <cstdint>
#include <string>

namespace vr {

// "#serial" and "#expires" carry 1 to 18 decimal digits and nothing else:
// launchers in the field read no more, so the tool writes no more.
inline constexpr int64_t kMaxListNumber = 999999999999999999LL;
bool ParseListNumber(const std::string& text, int64_t& value);

// The words after "#launcher": 64 lower-case hex digits, a blank and the
// size as a list number; trailing blanks allowed. False for anything else.
bool ParseLauncherLine(const std::string& rest, std::string& sha256, int64_t& size);

// True when one path component would address a device on Windows in any
// folder: the part before the first dot, trailing blanks dropped, in any
// ASCII letter case, is CON, PRN, AUX, NUL, CONIN$, CONOUT$, or COM or LPT
// followed by 1-9, or by a superscript 1, 2 or 3 (Windows counts those as
// digits there).
bool IsDeviceName(const std::string& component);

// True when a path from a list (UTF-8, '/' or '\' between components) stays
// inside the game folder and names no device: not empty, no leading
// separator, no colon, no control character, no component that is empty,
// only dots and blanks, or a device name. A single trailing separator is
// allowed only when allowTrailingSlash (folder lines).
bool IsSafeListPath(const std::string& path, bool allowTrailingSlash);

// True when a name in the game folder's root is one of the launcher's own
// files (Veltrune.ini, PatcherSettings.ini, Veltrune.log), compared as
// Windows stores names: any ASCII letter case, trailing dots and blanks
// dropped. A list never replaces them.
bool IsLauncherOwnName(const std::string& rootName);

}  // namespace vr

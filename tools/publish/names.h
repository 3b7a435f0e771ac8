#pragma once
// Which names a publication may carry. The list is line-based text read on
// Windows by a launcher that refuses unsafe paths, so a name must be valid
// UTF-8, free of control characters, and a name Windows can create.
#include <string>

namespace vr::publish {

// Empty when one path component (a file or folder name, UTF-8) can be
// published; otherwise why not, as a short phrase for a message.
std::string ComponentProblem(const std::string& name);

// For the names of the list, the launcher and the maintenance flag on the
// server: plain URL-safe characters only, because the launcher joins some of
// them to the server URL without encoding.
std::string ServerNameProblem(const std::string& name);

// The key under which Windows would store a name: ASCII letters folded, and
// trailing blanks and dots dropped (Windows drops them when it creates a
// file). Two names with one key would overwrite each other on a player's disk.
std::string WindowsKey(const std::string& name);

}  // namespace vr::publish

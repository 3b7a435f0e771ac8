#pragma once
// The freshness object beside the list (src/patcher/freshness.h): written
// whenever the list is, signed with the list's key when signing, and left
// alone when it already names the served list the same way.
#include <filesystem>
#include <string>

#include "crypto.h"

namespace vr::publish {

// `listText` is the list as served (uncompressed); key null: unsigned.
bool WriteFreshness(const std::filesystem::path& path, const std::string& listText, const SigningKey* key,
                    std::string& error);

}  // namespace vr::publish

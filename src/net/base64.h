#pragma once
// Base64 (the standard alphabet, with padding) as keys and signatures travel
// in Veltrune.ini and in the patch list. Portable: the publishing tool builds
// it too.
#include <string>
#include <string_view>

namespace vr {

std::string EncodeBase64(std::string_view bytes);

// Strict: only the standard alphabet, length a multiple of four, '=' only as
// padding at the end, unused bits zero. Whitespace is not skipped; callers
// trim. False (bytes untouched) on anything else.
bool DecodeBase64(std::string_view text, std::string& bytes);

}  // namespace vr

#pragma once
// Gzip members for tests, produced by zlib (the reference encoder), so the
// decoder is checked against bytes it did not make itself.
#include <string>

namespace vr::test {

struct GzipHeader {
    std::string extra;       // FEXTRA when not empty
    std::string name;        // FNAME when not empty
    std::string comment;     // FCOMMENT when not empty
    bool headerCrc = false;  // FHCRC
};

// One gzip member holding `data` (deflateInit2 with 31 window bits).
std::string Gzip(const std::string& data, int level = 6);
std::string Gzip(const std::string& data, const GzipHeader& header, int level = 6);

// Plain decompression with zlib, for checking what a server is given.
std::string Gunzip(const std::string& member);

}  // namespace vr::test

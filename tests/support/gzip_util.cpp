#include "support/gzip_util.h"

#include <zlib.h>

#include <stdexcept>
#include <vector>

namespace vr::test {

std::string Gzip(const std::string& data, int level) { return Gzip(data, GzipHeader{}, level); }

std::string Gzip(const std::string& data, const GzipHeader& header, int level) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    // zlib reads these while writing the header, so they must outlive deflate().
    std::vector<Bytef> extra(header.extra.begin(), header.extra.end());
    std::string name = header.name;
    std::string comment = header.comment;
    gz_header gz{};
    gz.os = 255;
    if (!extra.empty()) {
        gz.extra = extra.data();
        gz.extra_len = static_cast<uInt>(extra.size());
    }
    if (!name.empty()) gz.name = reinterpret_cast<Bytef*>(name.data());
    if (!comment.empty()) gz.comment = reinterpret_cast<Bytef*>(comment.data());
    gz.hcrc = header.headerCrc ? 1 : 0;
    deflateSetHeader(&zs, &gz);

    std::string out;
    out.resize(deflateBound(&zs, static_cast<uLong>(data.size())) + 64 + extra.size() + name.size() + comment.size());
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    return out;
}

std::string Gunzip(const std::string& member) {
    z_stream zs{};
    if (inflateInit2(&zs, 31) != Z_OK) throw std::runtime_error("inflateInit2 failed");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
    zs.avail_in = static_cast<uInt>(member.size());
    std::string out;
    char buffer[65536];
    int rc;
    do {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof buffer;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - zs.avail_out);
    } while (rc == Z_OK);
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("not a complete gzip member");
    return out;
}

}  // namespace vr::test

#include "gzip_file.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <functional>
#include <vector>

#include "crypto.h"

namespace vr::publish {
namespace {

constexpr size_t kBlock = 256 * 1024;

// A fixed header: no file name, time 0, OS "unknown", so that the Linux and
// Windows builds give the same bytes.
bool StartDeflate(z_stream& z, int level, gz_header& header) {
    std::memset(&z, 0, sizeof z);
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    std::memset(&header, 0, sizeof header);
    header.os = 255;
    deflateSetHeader(&z, &header);
    return true;
}

// Feeds blocks from `read` (returns bytes, 0 at the end, -1 on error) and
// hands compressed output to `write`.
InflateResult Inflate(const std::function<long(unsigned char*, size_t)>& read, std::string* out) {
    InflateResult r;
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit2(&z, 15 + 16) != Z_OK) {
        r.error = "zlib could not start";
        return r;
    }
    std::vector<unsigned char> in(kBlock), buf(kBlock);
    uLong crc = crc32(0, nullptr, 0);
    Sha256Hasher sha;
    bool ended = false;
    bool trailing = false;
    for (;;) {
        const long n = read(in.data(), in.size());
        if (n < 0) {
            r.error = "read error";
            break;
        }
        if (n == 0) break;
        if (ended) {
            trailing = true;
            break;
        }
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(n);
        // Output may still be pending when the input is used up and the
        // buffer came back full, so go on until neither holds.
        do {
            z.next_out = buf.data();
            z.avail_out = static_cast<uInt>(buf.size());
            const int rc = inflate(&z, Z_NO_FLUSH);
            const size_t got = buf.size() - z.avail_out;
            crc = crc32(crc, buf.data(), static_cast<uInt>(got));
            sha.Update(buf.data(), got);
            r.size += got;
            if (out) out->append(reinterpret_cast<char*>(buf.data()), got);
            if (rc == Z_STREAM_END) {
                ended = true;
            } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
                r.error = std::string("corrupt gzip data (") + (z.msg ? z.msg : "zlib error") + ")";
                inflateEnd(&z);
                return r;
            }
        } while (!ended && (z.avail_in > 0 || z.avail_out == 0));
        if (ended && z.avail_in > 0) trailing = true;
        if (trailing) break;
    }
    inflateEnd(&z);
    if (!r.error.empty()) return r;
    if (!ended) {
        r.error = "truncated gzip member";
        return r;
    }
    if (trailing) {
        r.error = "data after the gzip member";
        return r;
    }
    r.crc = static_cast<uint32_t>(crc);
    r.sha256 = sha.FinishHex();
    if (r.sha256.empty()) {
        r.error = "SHA-256 failed";
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace

struct GzipWriter::Stream {
    z_stream z;
    gz_header header;
    std::vector<unsigned char> buf = std::vector<unsigned char>(kBlock);
};

GzipWriter::~GzipWriter() { Close(); }

void GzipWriter::Close() {
    if (z_) deflateEnd(&z_->z);
    delete z_;
    z_ = nullptr;
    if (out_) std::fclose(out_);
    out_ = nullptr;
}

bool GzipWriter::Open(const fs::path& dst, int level) {
    Close();
    dst_ = dst;
    error_.clear();
    outSize_ = 0;
    out_ = OpenFile(dst, "wb");
    if (!out_) {
        error_ = "cannot create " + Printable(dst) + ": " + std::strerror(errno);
        return false;
    }
    z_ = new Stream;
    if (!StartDeflate(z_->z, level, z_->header)) {
        error_ = "zlib could not start";
        delete z_;
        z_ = nullptr;
        return false;
    }
    return true;
}

bool GzipWriter::Deflate(const void* data, size_t size, int flush) {
    if (!z_ || !error_.empty()) return false;
    z_stream& z = z_->z;
    z.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    z.avail_in = static_cast<uInt>(size);
    do {
        z.next_out = z_->buf.data();
        z.avail_out = static_cast<uInt>(z_->buf.size());
        deflate(&z, flush);
        const size_t have = z_->buf.size() - z.avail_out;
        if (have && std::fwrite(z_->buf.data(), 1, have, out_) != have) {
            error_ = "cannot write " + Printable(dst_) + ": " + std::strerror(errno);
            return false;
        }
        outSize_ += have;
    } while (z.avail_out == 0);
    return true;
}

bool GzipWriter::Write(const void* data, size_t size) {
    // zlib takes at most 4 GiB per call.
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t done = 0; done < size;) {
        const size_t n = std::min<size_t>(size - done, 1u << 30);
        if (!Deflate(p + done, n, Z_NO_FLUSH)) return false;
        done += n;
    }
    return error_.empty() && z_;
}

int64_t GzipWriter::FullFlush() {
    if (!Deflate(nullptr, 0, Z_FULL_FLUSH)) return -1;
    return static_cast<int64_t>(outSize_);
}

bool GzipWriter::Finish() {
    const bool deflated = Deflate(nullptr, 0, Z_FINISH);
    if (z_) deflateEnd(&z_->z);
    delete z_;
    z_ = nullptr;
    const bool closed = out_ && std::fclose(out_) == 0;
    out_ = nullptr;
    if (deflated && !closed && error_.empty()) error_ = "cannot write " + Printable(dst_);
    return deflated && closed && error_.empty();
}

GzipResult GzipFile(const fs::path& src, const fs::path& dst, int level, std::atomic<uint64_t>* progress) {
    GzipResult r;
    std::FILE* in = OpenFile(src, "rb");
    if (!in) {
        r.error = "cannot read " + Printable(src) + ": " + std::strerror(errno);
        return r;
    }
    GzipWriter writer;
    if (!writer.Open(dst, level)) {
        r.error = writer.Error();
        std::fclose(in);
        return r;
    }
    std::vector<unsigned char> ibuf(kBlock);
    Sha256Hasher sha;
    for (;;) {
        const size_t n = std::fread(ibuf.data(), 1, ibuf.size(), in);
        if (std::ferror(in)) {
            r.error = "read error in " + Printable(src);
            break;
        }
        sha.Update(ibuf.data(), n);
        r.inSize += n;
        if (progress) *progress += n;
        if (!writer.Write(ibuf.data(), n)) break;
        if (n < ibuf.size() && std::feof(in)) break;
    }
    std::fclose(in);
    if (!writer.Finish() && r.error.empty()) r.error = writer.Error();
    if (!r.error.empty()) return r;
    r.outSize = writer.OutSize();
    r.sha256 = sha.FinishHex();
    if (r.sha256.empty()) {
        r.error = "SHA-256 failed";
        return r;
    }
    r.ok = true;
    return r;
}

std::string GzipBytes(const std::string& data, int level) {
    z_stream z;
    gz_header header;
    if (!StartDeflate(z, level, header)) return {};
    std::string out;
    out.resize(deflateBound(&z, data.size()) + 64);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

InflateResult InflateFile(const fs::path& path, std::string* out) {
    std::FILE* f = OpenFile(path, "rb");
    if (!f) {
        InflateResult r;
        r.error = std::string("cannot open: ") + std::strerror(errno);
        return r;
    }
    InflateResult r = Inflate(
        [f](unsigned char* dst, size_t cap) -> long {
            const size_t n = std::fread(dst, 1, cap, f);
            if (n == 0 && std::ferror(f)) return -1;
            return static_cast<long>(n);
        },
        out);
    std::fclose(f);
    return r;
}

InflateResult InflateBytes(const std::string& member, std::string* out) {
    size_t pos = 0;
    return Inflate(
        [&](unsigned char* dst, size_t cap) -> long {
            const size_t n = std::min(cap, member.size() - pos);
            std::memcpy(dst, member.data() + pos, n);
            pos += n;
            return static_cast<long>(n);
        },
        out);
}

bool InflateRange(const fs::path& path, uint64_t from, int64_t to, std::string& out, std::string& error) {
    out.clear();
    std::FILE* in = OpenFile(path, "rb");
    if (!in) {
        error = "cannot open: " + std::string(std::strerror(errno));
        return false;
    }
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        std::fclose(in);
        error = "zlib could not start";
        return false;
    }
    std::vector<unsigned char> inBuf(1u << 16), outBuf(1u << 16);
    uint64_t left = to < 0 ? UINT64_MAX : static_cast<uint64_t>(to) - from;
    int rc = Z_OK;
#ifdef _WIN32
    bool ok = _fseeki64(in, static_cast<int64_t>(from), SEEK_SET) == 0;
#else
    bool ok = fseeko(in, static_cast<off_t>(from), SEEK_SET) == 0;
#endif
    while (ok && left > 0 && rc != Z_STREAM_END) {
        const size_t n = std::fread(inBuf.data(), 1, static_cast<size_t>(std::min<uint64_t>(left, inBuf.size())), in);
        if (n == 0) break;
        left -= n;
        z.next_in = inBuf.data();
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = outBuf.data();
            z.avail_out = static_cast<uInt>(outBuf.size());
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) ok = false;
            out.append(reinterpret_cast<const char*>(outBuf.data()), outBuf.size() - z.avail_out);
        } while (ok && z.avail_out == 0 && rc != Z_STREAM_END);
    }
    inflateEnd(&z);
    std::fclose(in);
    if (!ok) error = "does not inflate from there";
    return ok;
}

}  // namespace vr::publish

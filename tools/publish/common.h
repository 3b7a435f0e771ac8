#pragma once
// What publishing, verifying, the maintenance flag and key generation share:
// the tool's name in messages, the progress line, dates in reports, where
// chunk and index objects live, and the maintenance flag's writer.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fs_util.h"
#include "patcher/chunk_index.h"

namespace vr::publish {

inline constexpr const char* kTool = "veltrune-publish";
inline constexpr double kMiB = 1024.0 * 1024.0;

// "YYYY-MM-DD HH:MM UTC".
std::string UtcText(int64_t unixSeconds);

// One line on a terminal, rewritten in place; nothing when output is a file or
// a pipe, so logs of scripted runs stay clean.
class Progress {
public:
    Progress(std::FILE* err, const char* verb, size_t files, uint64_t bytes)
        : err_(err),
          verb_(verb),
          totalFiles_(files),
          totalBytes_(bytes),
          enabled_(IsTerminal(err)),
          start_(std::chrono::steady_clock::now()) {}

    std::atomic<size_t> files{0};
    std::atomic<uint64_t> bytes{0};

    void Print() {
        if (!enabled_) return;
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double mib = static_cast<double>(bytes.load()) / kMiB;
        std::fprintf(err_, "\r%s: %s %zu/%zu files, %.1f/%.1f MiB, %.1f MiB/s   ", kTool, verb_, files.load(),
                     totalFiles_, mib, static_cast<double>(totalBytes_) / kMiB, secs > 0.05 ? mib / secs : 0.0);
        std::fflush(err_);
        printed_ = true;
    }
    void End() {
        if (printed_) {
            Print();
            std::fputc('\n', err_);
        }
    }

private:
    std::FILE* err_;
    const char* verb_;
    size_t totalFiles_;
    uint64_t totalBytes_;
    bool enabled_;
    bool printed_ = false;
    std::chrono::steady_clock::time_point start_;
};

fs::path ChunkObjectFile(const fs::path& out, const std::string& sha);
fs::path IndexObjectFile(const fs::path& out, const std::string& sha);
// A published index, proven by its name. False with the reason otherwise.
bool ReadIndex(const fs::path& out, const std::string& sha, ChunkIndex& index, std::string& why);

// The flag's body: the launcher treats exactly "true" (any case, blanks
// around it) as closed. Left alone when it already says the same.
bool WriteFlag(const fs::path& path, bool on, std::string& error);

}  // namespace vr::publish

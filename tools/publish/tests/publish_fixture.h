#pragma once
// Real folders under the temp folder, and the real tool run as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "gzip_file.h"

namespace vr::publish::test {

namespace fs = std::filesystem;
constexpr size_t npos = std::string::npos;

struct TempFolder {
    fs::path path;
    TempFolder() : path(fs::temp_directory_path() / "vrpub-XXXXXX") {
        std::string pattern = path.string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    TempFolder(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path operator/(const std::string& rel) const { return path / rel; }
};

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadBytes(const fs::path& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

inline void SetMtime(const fs::path& path, int64_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Size, time (ns) and inode of everything below a folder, to tell "nothing
// changed" and "replaced by a new file" exactly.
inline std::map<std::string, std::array<int64_t, 3>> Snapshot(const fs::path& root) {
    std::map<std::string, std::array<int64_t, 3>> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(e.path().c_str(), &st);
        const bool dir = S_ISDIR(st.st_mode);
        out[e.path().lexically_relative(root).string()] = {
            dir ? 0 : st.st_size, dir ? 0 : st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, int64_t(st.st_ino)};
    }
    return out;
}

struct ToolRun {
    int code = -1;
    std::string out, err;
};

inline std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Output goes to files, never a terminal, so there is no progress line.
inline ToolRun RunTool(const std::vector<std::string>& args) {
    TempFolder capture;
    std::string cmd = ShellQuote(VR_PUBLISH_EXE);
    for (const std::string& a : args) cmd += " " + ShellQuote(a);
    cmd += " >" + ShellQuote((capture / "out").string()) + " 2>" + ShellQuote((capture / "err").string()) + " </dev/null";
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadBytes(capture / "out"), ReadBytes(capture / "err")};
}

inline ToolRun Publish(const fs::path& game, const fs::path& out, int version, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--game", game.string(), "--out", out.string(), "--version", std::to_string(version)});
    return RunTool(extra);
}

inline std::string Gunzip(const fs::path& object) {
    std::string content;
    const InflateResult r = InflateFile(object, &content);
    EXPECT_TRUE(r.ok) << object << ": " << r.error;
    return content;
}

}  // namespace vr::publish::test

#pragma once
// Real folders under the system's temp folder and the real tool run as a
// child process, for the publisher's tests.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "gzip_file.h"

namespace vr::publish::test {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "vrpub-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& rel) const { return path_ / rel; }

private:
    fs::path path_;
};

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path.string());
}

inline std::string ReadBytes(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Sets the modification time to whole Unix seconds.
inline void SetMtime(const fs::path& path, int64_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = seconds;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) throw std::runtime_error("utimensat");
}

struct Stamp {
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t inode = 0;
    bool dir = false;
    bool operator==(const Stamp&) const = default;
};

inline Stamp StampOf(const fs::path& p) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) return {};
    return {static_cast<uint64_t>(st.st_size), st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
            static_cast<uint64_t>(st.st_ino), S_ISDIR(st.st_mode)};
}

// Everything below a folder, by relative path, so that "nothing changed" can
// be checked exactly.
inline std::map<std::string, Stamp> Snapshot(const fs::path& root) {
    std::map<std::string, Stamp> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const Stamp s = StampOf(e.path());
        out[e.path().lexically_relative(root).string()] = s.dir ? Stamp{0, 0, s.inode, true} : s;
    }
    return out;
}

struct ToolRun {
    int code = -1;
    std::string out;
    std::string err;
};

inline std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// Runs the built tool with stdout and stderr captured in files (so never on a
// terminal: no progress line).
inline ToolRun RunTool(const std::vector<std::string>& args) {
    TempFolder capture;
    std::string cmd = ShellQuote(VR_PUBLISH_EXE);
    for (const std::string& a : args) cmd += " " + ShellQuote(a);
    cmd +=
        " >" + ShellQuote((capture / "out").string()) + " 2>" + ShellQuote((capture / "err").string()) + " </dev/null";
    const int status = std::system(cmd.c_str());
    ToolRun r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadBytes(capture / "out");
    r.err = ReadBytes(capture / "err");
    return r;
}

inline ToolRun Publish(const fs::path& game, const fs::path& out, int version, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--game",     game.string(), "--out",
                                     out.string(), "--version",   std::to_string(version)};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTool(args);
}

inline std::string Gunzip(const fs::path& object) {
    std::string content;
    const InflateResult r = InflateFile(object, &content);
    if (!r.ok) throw std::runtime_error(object.string() + ": " + r.error);
    return content;
}

}  // namespace vr::publish::test

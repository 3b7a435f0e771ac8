#pragma once
// Command line of veltrune-publish.
#include <cstdint>
#include <string>
#include <vector>

namespace vr::publish {

enum class Mode { Publish, Maintenance, Verify, Keygen, Help };

struct Options {
    Mode mode = Mode::Publish;
    std::string game;  // UTF-8 paths
    std::string out;
    std::string verify;
    int32_t version = -1;
    std::string listName = "list.txt";
    std::string launcher;
    std::string launcherName = "newLauncher.exe";
    std::string maintName = "MaintanenceCheck.txt";
    int maintenance = -1;  // -1 unchanged, 0 off, 1 on
    unsigned jobs = 0;     // 0: one per core
    int level = 6;
    bool prune = false;
    bool chunksOnly = false;  // no whole-file object for chunked files
    int keepLists = 3;        // --keep: earlier lists whose chunks stay on the server
    std::string signKey;    // --sign: private key file
    int64_t serial = -1;    // --serial; -1: chosen at publish time
    int expiresDays = 0;    // --expires; 0: kDefaultExpiresDays when signing
    bool noExpires = false;  // --no-expires: a signed list that never expires
    std::string verifyKey;  // --key, decoded: the public point X||Y (64 bytes)
    std::string keyOut;     // keygen --out
};

// A signed list expires after this many days unless told otherwise, so an
// old list a mirror keeps serving stops working by itself.
inline constexpr int kDefaultExpiresDays = 30;

// False with a one-line reason when the arguments do not make sense.
bool ParseArgs(const std::vector<std::string>& args, Options& options, std::string& error);

extern const char* const kUsage;

}  // namespace vr::publish

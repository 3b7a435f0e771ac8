#include "scan.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "names.h"
#include "patcher/list_rules.h"

namespace vr::publish {
namespace {

std::string Show(const PathParts& parts) { return "\"" + JoinParts(parts, '/') + "\""; }

[[maybe_unused]] bool Inside(const fs::path& root, const fs::path& p) {
    return std::mismatch(root.begin(), root.end(), p.begin(), p.end()).first == root.end();
}

struct Walker {
    fs::path canonicalRoot;
    std::vector<fs::path> chain;  // canonical folders being walked, to catch link loops
    SourceTree& tree;
    std::vector<std::string>& problems;

    void Walk(const fs::path& dir, const PathParts& parts) {
        std::error_code ec;
        std::vector<fs::path> children;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            children.push_back(it->path());
        }
        if (ec) {
            problems.push_back((parts.empty() ? std::string("\".\"") : Show(parts)) +
                               ": cannot list the folder: " + ec.message());
            return;
        }
        std::sort(children.begin(), children.end());
        for (const fs::path& child : children) Visit(child, parts);
    }

    void Visit(const fs::path& path, const PathParts& parent) {
        std::string name;
        PathParts parts = parent;
        if (!Utf8FromPath(path.filename(), name)) {
            parts.push_back(Printable(path.filename()));
            problems.push_back(Show(parts) + ": name is not valid UTF-8");
            return;
        }
        parts.push_back(name);
        std::string why = ComponentProblem(name);
        if (why.empty() && parent.empty() && IsLauncherOwnName(name))
            why = "the launcher's own settings or log, which it never replaces from a list";
        if (!why.empty()) {
            PathParts shown = parent;
            shown.push_back(Printable(path.filename()));
            problems.push_back(Show(shown) + ": " + why);
            return;
        }
        FileInfo info = StatNoFollow(path);
        if (!info.exists) {
            problems.push_back(Show(parts) + ": cannot read its attributes");
            return;
        }
        if (info.isLink) {
#ifdef _WIN32
            problems.push_back(Show(parts) +
                               ": links and junctions are not followed; put the file or folder itself there");
            return;
#else
            std::error_code ec;
            const fs::path target = fs::canonical(path, ec);
            if (ec) {
                problems.push_back(Show(parts) + ": broken link");
                return;
            }
            if (!Inside(canonicalRoot, target)) {
                problems.push_back(Show(parts) + ": link leads outside the game folder");
                return;
            }
            info = StatFollow(path);
            if (info.isDir && std::find(chain.begin(), chain.end(), target) != chain.end()) {
                problems.push_back(Show(parts) + ": link makes a loop");
                return;
            }
            if (info.isDir) {
                chain.push_back(target);
                tree.dirs.push_back(parts);
                Walk(path, parts);
                chain.pop_back();
                return;
            }
#endif
        }
        if (info.isDir) {
            std::error_code ec;
            chain.push_back(fs::weakly_canonical(path, ec));
            tree.dirs.push_back(parts);
            Walk(path, parts);
            chain.pop_back();
        } else if (info.isFile) {
            tree.files.push_back({parts, path, info.size, info.mtimeNs});
        } else {
            problems.push_back(Show(parts) + ": not a regular file or folder");
        }
    }
};

std::string KeyOf(const PathParts& parts) {
    std::string key;
    for (const std::string& p : parts) key += "/" + WindowsKey(p);
    return key;
}

}  // namespace

SourceTree ScanTree(const fs::path& root, std::vector<std::string>& problems) {
    SourceTree tree;
    std::error_code ec;
    const fs::path canonicalRoot = fs::weakly_canonical(root, ec);
    Walker walker{canonicalRoot, {canonicalRoot}, tree, problems};
    walker.Walk(root, {});
    std::sort(tree.dirs.begin(), tree.dirs.end());
    std::sort(tree.files.begin(), tree.files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.parts < b.parts; });
    return tree;
}

void CheckCollisions(const SourceTree& tree, const std::vector<std::string>& reservedRootNames,
                     std::vector<std::string>& problems) {
    // Names as the player's disk stores them.
    std::map<std::string, std::string> seen;
    const auto claim = [&](const std::string& key, const std::string& shown, const std::string& why) {
        const auto [it, fresh] = seen.emplace(key, shown);
        if (!fresh) problems.push_back(shown + ": " + why + " " + it->second);
    };
    for (const PathParts& d : tree.dirs) claim(KeyOf(d), Show(d), "would be the same on Windows as");
    for (const SourceFile& f : tree.files) claim(KeyOf(f.parts), Show(f.parts), "would be the same on Windows as");

    // Names on the server: objects are the files plus ".gz", beside the
    // folders and the server's own files.
    std::map<std::string, std::string> server;
    for (const std::string& name : reservedRootNames) server.emplace("/" + WindowsKey(name), name);
    for (const PathParts& d : tree.dirs) {
        const auto [it, fresh] = server.emplace(KeyOf(d), "\"" + JoinParts(d, '/') + "/\"");
        if (!fresh) problems.push_back("\"" + JoinParts(d, '/') + "/\": would collide with " + it->second);
    }
    for (const SourceFile& f : tree.files) {
        PathParts object = f.parts;
        object.back() += ".gz";
        const auto [it, fresh] = server.emplace(KeyOf(object), Show(f.parts));
        if (!fresh)
            problems.push_back(Show(f.parts) + ": its object " + Show(object) + " would collide with " + it->second);
    }
}

}  // namespace vr::publish

#include "publisher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <system_error>

#include "fs_util.h"
#include "gzip_file.h"
#include "list_format.h"
#include "names.h"
#include "scan.h"
#include "state.h"
#include "work_pool.h"

namespace vr::publish {
namespace {

constexpr const char* kTool = "veltrune-publish";
constexpr double kMiB = 1024.0 * 1024.0;

// One line on a terminal, rewritten in place; nothing when output is a file or
// a pipe, so logs of scripted runs stay clean.
class Progress {
public:
    Progress(std::FILE* err, const char* verb, size_t files, uint64_t bytes)
        : err_(err), verb_(verb), totalFiles_(files), totalBytes_(bytes), enabled_(IsTerminal(err)),
          start_(std::chrono::steady_clock::now()) {}

    std::atomic<size_t> files{0};
    std::atomic<uint64_t> bytes{0};

    void Print() {
        if (!enabled_) return;
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
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

bool Inside(const fs::path& root, const fs::path& p) {
    return std::mismatch(root.begin(), root.end(), p.begin(), p.end()).first == root.end();
}

// Temporary files of a run that was stopped half-way.
void RemoveStaleTemps(const fs::path& out) {
    std::error_code ec;
    std::vector<fs::path> stale;
    const std::string suffix = kTempSuffix;
    for (fs::recursive_directory_iterator it(out, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            it->is_regular_file(ec)) {
            stale.push_back(it->path());
        }
    }
    for (const fs::path& p : stale) fs::remove(p, ec);
}

// The flag's body: the launcher treats exactly "true" (any case, blanks
// around it) as closed.
bool WriteFlag(const fs::path& path, bool on, std::string& error) {
    const std::string body = on ? "true\n" : "false\n";
    std::string current;
    if (ReadWholeFile(path, current) && current == body) return true;
    return WriteFileAtomic(path, body, error);
}

struct Job {
    size_t file = 0;  // index into the tree's files; SIZE_MAX for the launcher
    fs::path src;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    std::string objRel;
    fs::path objPath;
    fs::path temp;
    ObjectRecord rec;
    bool reuse = false;
};

bool CanReuse(const PublishState& state, Job& job) {
    const auto it = state.find(job.objRel);
    if (it == state.end() || it->second.size != job.size || it->second.mtimeNs != job.mtimeNs) return false;
    const FileInfo obj = StatNoFollow(job.objPath);
    if (!obj.isFile || obj.size != it->second.objSize || obj.mtimeNs != it->second.objMtimeNs) return false;
    job.rec = it->second;
    return true;
}

void RemoveTemps(std::vector<Job>& jobs) {
    std::error_code ec;
    for (Job& j : jobs) {
        if (!j.temp.empty()) fs::remove(j.temp, ec);
        j.temp.clear();
    }
}

size_t Prune(const fs::path& out, const std::set<std::string>& keep, std::FILE* err) {
    std::error_code ec;
    std::vector<fs::path> doomed;
    for (fs::recursive_directory_iterator it(out, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code e2;
        if (it->is_symlink(e2) || !it->is_regular_file(e2)) continue;
        const std::string name = it->path().filename().string();
        if (name.size() < 3 || name.compare(name.size() - 3, 3, ".gz") != 0) continue;
        std::string rel;
        if (!Utf8FromPath(it->path().lexically_relative(out), rel)) continue;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        if (!keep.count(rel)) doomed.push_back(it->path());
    }
    size_t removed = 0;
    for (const fs::path& p : doomed) {
        if (!fs::remove(p, ec)) {
            std::fprintf(err, "%s: cannot remove %s: %s\n", kTool, Printable(p).c_str(), ec.message().c_str());
            continue;
        }
        ++removed;
        // Folders that only held pruned objects go too; remove() leaves
        // non-empty ones alone.
        for (fs::path dir = p.parent_path(); dir != out && Inside(out, dir); dir = dir.parent_path()) {
            if (!fs::remove(dir, ec)) break;
        }
    }
    return removed;
}

}  // namespace

int SetMaintenance(const Options& o, std::FILE* out, std::FILE* err) {
    const fs::path dir = PathFromUtf8(o.out);
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::string error;
    if (!WriteFlag(dir / PathFromUtf8(o.maintName), o.maintenance == 1, error)) {
        std::fprintf(err, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    std::fprintf(out, "%s: maintenance %s (%s)\n", kTool, o.maintenance == 1 ? "on" : "off", o.maintName.c_str());
    return 0;
}

int Publish(const Options& o, std::FILE* out, std::FILE* err) {
    const fs::path game = PathFromUtf8(o.game);
    const fs::path outDir = PathFromUtf8(o.out);
    std::error_code ec;

    if (!StatFollow(game).isDir) {
        std::fprintf(err, "%s: the game folder %s does not exist\n", kTool, o.game.c_str());
        return 1;
    }
    const FileInfo outInfo = StatFollow(outDir);
    if (outInfo.exists && !outInfo.isDir) {
        std::fprintf(err, "%s: %s exists and is not a folder\n", kTool, o.out.c_str());
        return 1;
    }
    const fs::path cg = fs::weakly_canonical(fs::absolute(game, ec), ec);
    const fs::path co = fs::weakly_canonical(fs::absolute(outDir, ec), ec);
    if (Inside(cg, co) || Inside(co, cg)) {
        std::fprintf(err, "%s: the output folder must not be inside the game folder or contain it\n", kTool);
        return 1;
    }

    // Everything is checked before anything is written.
    std::vector<std::string> problems;
    const fs::path launcherSrc = PathFromUtf8(o.launcher);
    FileInfo launcherInfo;
    if (!o.launcher.empty()) {
        launcherInfo = StatFollow(launcherSrc);
        if (!launcherInfo.isFile) problems.push_back("\"" + o.launcher + "\": the launcher file does not exist");
    }
    const SourceTree tree = ScanTree(game, problems);
    CheckCollisions(tree, {o.listName + ".gz", o.launcherName + ".gz", o.maintName, kStateFileName}, problems);
    std::vector<ListFile> listed;
    for (const SourceFile& f : tree.files) listed.push_back({f.parts, UnixSeconds(f.mtimeNs), f.size, 0});
    BuildList(o.version, tree.dirs, listed, problems);
    if (!problems.empty()) {
        for (const std::string& p : problems) std::fprintf(err, "%s: refused: %s\n", kTool, p.c_str());
        std::fprintf(err, "%s: %zu name(s) cannot be published; nothing was written\n", kTool, problems.size());
        return 1;
    }

    fs::create_directories(outDir, ec);
    if (!StatFollow(outDir).isDir) {
        std::fprintf(err, "%s: cannot create %s: %s\n", kTool, o.out.c_str(), ec.message().c_str());
        return 1;
    }
    RemoveStaleTemps(outDir);
    const fs::path statePath = outDir / kStateFileName;
    const PublishState oldState = LoadState(statePath);

    std::vector<Job> jobs;
    for (size_t i = 0; i < tree.files.size(); ++i) {
        const SourceFile& f = tree.files[i];
        Job j;
        j.file = i;
        j.src = f.path;
        j.size = f.size;
        j.mtimeNs = f.mtimeNs;
        j.objRel = JoinParts(f.parts, '/') + ".gz";
        j.objPath = outDir / PathFromUtf8(j.objRel);
        jobs.push_back(std::move(j));
    }
    if (!o.launcher.empty()) {
        Job j;
        j.file = SIZE_MAX;
        j.src = launcherSrc;
        j.size = launcherInfo.size;
        j.mtimeNs = launcherInfo.mtimeNs;
        j.objRel = o.launcherName + ".gz";
        j.objPath = outDir / PathFromUtf8(j.objRel);
        jobs.push_back(std::move(j));
    }
    std::vector<size_t> work;
    uint64_t workBytes = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
        jobs[i].reuse = CanReuse(oldState, jobs[i]);
        if (!jobs[i].reuse) {
            work.push_back(i);
            workBytes += jobs[i].size;
        }
    }

    std::string error;
    const fs::path flagPath = outDir / PathFromUtf8(o.maintName);
    // Closing comes first, so players stop before objects change.
    if (o.maintenance == 1 && !WriteFlag(flagPath, true, error)) {
        std::fprintf(err, "%s: %s\n", kTool, error.c_str());
        return 1;
    }

    // Every changed object goes to a temporary name first; only when all of
    // them are complete does any of them replace what the server serves.
    for (size_t i : work) {
        fs::create_directories(jobs[i].objPath.parent_path(), ec);
        jobs[i].temp = TempNameFor(jobs[i].objPath);
    }
    Progress progress(err, "compressing", work.size(), workBytes);
    std::mutex errorsLock;
    std::vector<std::string> errors;
    RunParallel(
        work.size(), o.jobs,
        [&](size_t w) {
            Job& j = jobs[work[w]];
            const GzipResult g = GzipFile(j.src, j.temp, o.level, &progress.bytes);
            std::string why = g.error;
            if (g.ok) {
                // The list must describe the bytes in the object.
                const FileInfo now = StatFollow(j.src);
                if (g.inSize != j.size || now.size != j.size || now.mtimeNs != j.mtimeNs)
                    why = "\"" + Printable(j.src) + "\" changed while it was read; run again";
            }
            if (!why.empty()) {
                std::lock_guard<std::mutex> lock(errorsLock);
                errors.push_back(why);
                return false;
            }
            j.rec = {j.size, j.mtimeNs, g.crc, g.outSize, 0};
            ++progress.files;
            return true;
        },
        [&] { progress.Print(); });
    progress.End();
    if (!errors.empty()) {
        RemoveTemps(jobs);
        for (const std::string& e : errors) std::fprintf(err, "%s: %s\n", kTool, e.c_str());
        std::fprintf(err, "%s: nothing was replaced\n", kTool);
        return 1;
    }

    for (size_t i = 0; i < tree.files.size(); ++i) listed[i].crc = jobs[i].rec.crc;
    const std::string listText = BuildList(o.version, tree.dirs, listed, problems);
    const fs::path listPath = outDir / PathFromUtf8(o.listName + ".gz");
    std::string currentList;
    const bool listUnchanged = InflateFile(listPath, &currentList).ok && currentList == listText;

    // Objects, then the new launcher, then the list: a player who reads the
    // new list finds everything it names already in place.
    for (Job& j : jobs) {
        if (j.temp.empty()) continue;
        if (!ReplaceAtomically(j.temp, j.objPath, error)) {
            RemoveTemps(jobs);
            std::fprintf(err, "%s: %s\n", kTool, error.c_str());
            return 1;
        }
        j.temp.clear();
        const FileInfo written = StatNoFollow(j.objPath);
        j.rec.objSize = written.size;
        j.rec.objMtimeNs = written.mtimeNs;
    }
    if (!listUnchanged && !WriteFileAtomic(listPath, GzipBytes(listText, 9), error)) {
        std::fprintf(err, "%s: %s\n", kTool, error.c_str());
        return 1;
    }

    PublishState newState;
    std::set<std::string> keep = {o.listName + ".gz", o.launcherName + ".gz"};
    for (const Job& j : jobs) {
        newState[j.objRel] = j.rec;
        keep.insert(j.objRel);
    }
    // A launcher published by an earlier run stays published.
    if (o.launcher.empty()) {
        if (const auto it = oldState.find(o.launcherName + ".gz"); it != oldState.end()) newState.insert(*it);
    }
    if (!SaveState(statePath, newState, error)) std::fprintf(err, "%s: warning: %s\n", kTool, error.c_str());

    if (o.maintenance == 0 && !WriteFlag(flagPath, false, error)) {
        std::fprintf(err, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    const size_t pruned = o.prune ? Prune(outDir, keep, err) : 0;

    uint64_t objBytes = 0;
    size_t compressed = 0;
    for (const Job& j : jobs) objBytes += j.rec.objSize;
    for (size_t i : work) compressed += jobs[i].file != SIZE_MAX;
    const std::string prunedText = o.prune ? ", " + std::to_string(pruned) + " pruned" : "";
    std::fprintf(out, "%s: version %d, %zu files (%zu compressed, %zu reused), %.1f MiB of objects, list %s%s\n",
                 kTool, o.version, tree.files.size(), compressed, tree.files.size() - compressed,
                 static_cast<double>(objBytes) / kMiB, listUnchanged ? "unchanged" : "written", prunedText.c_str());
    if (!o.launcher.empty())
        std::fprintf(out, "%s: launcher %s %s\n", kTool, o.launcherName.c_str(),
                     jobs.back().reuse ? "unchanged" : "published");
    if (o.maintenance >= 0)
        std::fprintf(out, "%s: maintenance %s (%s)\n", kTool, o.maintenance ? "on" : "off", o.maintName.c_str());
    return 0;
}

int Verify(const Options& o, std::FILE* out, std::FILE* err) {
    const fs::path dir = PathFromUtf8(o.verify);
    std::string listText;
    const InflateResult lr = InflateFile(dir / PathFromUtf8(o.listName + ".gz"), &listText);
    if (!lr.ok) {
        std::fprintf(err, "%s: %s.gz: %s\n", kTool, o.listName.c_str(), lr.error.c_str());
        return 1;
    }
    const ParsedList list = ParseList(listText);
    std::vector<std::string> problems;
    if (!list.hasVersion) problems.push_back(o.listName + ": no version line");

    struct Check {
        std::string rel;
        int64_t size = -1;  // -1: any size (the launcher object)
        std::string token;
        std::string problem;
    };
    std::vector<Check> checks;
    for (const ParsedFile& f : list.files) {
        Check c;
        c.rel = f.relPath;
        std::replace(c.rel.begin(), c.rel.end(), '\\', '/');
        c.size = f.size;
        c.token = f.token;
        // What the launcher would refuse to write is a fault of the list.
        size_t start = 0;
        while (start <= c.rel.size()) {
            size_t end = c.rel.find('/', start);
            if (end == std::string::npos) end = c.rel.size();
            const std::string part = c.rel.substr(start, end - start);
            if (part.find_first_not_of(". ") == std::string::npos || part.find(':') != std::string::npos ||
                !IsValidUtf8(part))
                c.problem = "unsafe path in the list";
            start = end + 1;
        }
        checks.push_back(std::move(c));
    }
    const fs::path launcherObj = dir / PathFromUtf8(o.launcherName + ".gz");
    if (StatNoFollow(launcherObj).exists) checks.push_back({o.launcherName, -1, "", ""});

    Progress progress(err, "verifying", checks.size(), 0);
    RunParallel(
        checks.size(), o.jobs,
        [&](size_t i) {
            Check& c = checks[i];
            if (c.problem.empty()) {
                const InflateResult r = InflateFile(dir / PathFromUtf8(c.rel + ".gz"));
                if (!r.ok) {
                    c.problem = r.error;
                } else if (c.size >= 0 && static_cast<int64_t>(r.size) != c.size) {
                    c.problem = "inflates to " + std::to_string(r.size) + " bytes, the list says " +
                                std::to_string(c.size);
                } else if (c.token.size() == 8 && c.token.find_first_not_of("0123456789abcdef") == std::string::npos &&
                           c.token != CrcToken(r.crc)) {
                    c.problem = "content differs from the list (CRC-32 " + CrcToken(r.crc) + ", listed " + c.token + ")";
                }
                progress.bytes += r.size;
            }
            ++progress.files;
            return true;
        },
        [&] { progress.Print(); });
    progress.End();
    for (const Check& c : checks) {
        if (!c.problem.empty()) problems.push_back("\"" + c.rel + ".gz\": " + c.problem);
    }
    for (const std::string& p : problems) std::fprintf(err, "%s: %s\n", kTool, p.c_str());
    std::fprintf(out, "%s: verified %zu objects of version %d: %zu problem(s)\n", kTool, checks.size(), list.version,
                 problems.size());
    return problems.empty() ? 0 : 1;
}

}  // namespace vr::publish

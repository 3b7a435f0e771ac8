#include "publisher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <system_error>

#include "crypto.h"
#include "fs_util.h"
#include "gzip_file.h"
#include "key_file.h"
#include "list_format.h"
#include "names.h"
#include "net/base64.h"
#include "scan.h"
#include "state.h"
#include "work_pool.h"

namespace vr::publish {
namespace {

constexpr const char* kTool = "veltrune-publish";
constexpr double kMiB = 1024.0 * 1024.0;

std::string UtcText(int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    char buf[32] = "?";
    if (const std::tm* tm = std::gmtime(&t)) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", tm);
    return buf;
}

// The list without the lines that change on every publish by themselves, so
// that a run with nothing new keeps the list players already have.
std::string WithoutSerialAndSignature(const std::string& list) {
    std::string out;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        end = end == std::string::npos ? list.size() : end + 1;
        const std::string line = list.substr(start, end - start);
        if (line.rfind("#serial ", 0) != 0 && line.rfind("#sig ", 0) != 0) out += line;
        start = end;
    }
    return out;
}

bool SignatureMatches(const ParsedList& list, const std::string& point) {
    std::string sig;
    return list.hasSignature && list.signatureLast && DecodeBase64(list.signature, sig) &&
           VerifyMessage(point, list.signedPart, sig);
}

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

// What the phases of one publish run hand on to each other. A phase that
// fails has said why on `err`; the run then stops with exit code 1.
struct PublishRun {
    PublishRun(const Options& options, std::FILE* errors)
        : o(options), err(errors), game(PathFromUtf8(options.game)), outDir(PathFromUtf8(options.out)) {}

    const Options& o;
    std::FILE* err;
    fs::path game;
    fs::path outDir;
    fs::path launcherSrc;
    FileInfo launcherInfo;
    SourceTree tree;
    std::vector<ListFile> listed;  // one per tree file, CRCs filled in after compressing
    fs::path statePath;
    PublishState oldState;
    std::vector<Job> jobs;     // the tree's files in order, then the launcher
    std::vector<size_t> work;  // jobs whose object is compressed anew
    uint64_t workBytes = 0;
    bool listUnchanged = false;
    SigningKey key;  // when signing
    int64_t serial = 0;
    int64_t expires = 0;  // 0: none
};

bool Fail(const PublishRun& run, const std::string& error) {
    std::fprintf(run.err, "%s: %s\n", kTool, error.c_str());
    return false;
}

bool SetFlag(const PublishRun& run, bool on) {
    std::string error;
    return WriteFlag(run.outDir / PathFromUtf8(run.o.maintName), on, error) || Fail(run, error);
}

bool CheckFolders(const PublishRun& run) {
    std::error_code ec;
    if (!StatFollow(run.game).isDir) {
        std::fprintf(run.err, "%s: the game folder %s does not exist\n", kTool, run.o.game.c_str());
        return false;
    }
    const FileInfo outInfo = StatFollow(run.outDir);
    if (outInfo.exists && !outInfo.isDir) {
        std::fprintf(run.err, "%s: %s exists and is not a folder\n", kTool, run.o.out.c_str());
        return false;
    }
    const fs::path cg = fs::weakly_canonical(fs::absolute(run.game, ec), ec);
    const fs::path co = fs::weakly_canonical(fs::absolute(run.outDir, ec), ec);
    if (Inside(cg, co) || Inside(co, cg)) {
        std::fprintf(run.err, "%s: the output folder must not be inside the game folder or contain it\n", kTool);
        return false;
    }
    return true;
}

// A key that cannot sign stops the run before anything is written.
bool LoadKey(PublishRun& run) {
    if (run.o.signKey.empty()) return true;
    std::string error;
    if (LoadSigningKey(PathFromUtf8(run.o.signKey), run.key, error)) return true;
    std::fprintf(run.err, "%s: cannot sign: %s; nothing was written\n", kTool, error.c_str());
    return false;
}

// Everything is checked before anything is written.
bool CheckNames(PublishRun& run) {
    const Options& o = run.o;
    std::vector<std::string> problems;
    run.launcherSrc = PathFromUtf8(o.launcher);
    if (!o.launcher.empty()) {
        run.launcherInfo = StatFollow(run.launcherSrc);
        if (!run.launcherInfo.isFile) problems.push_back("\"" + o.launcher + "\": the launcher file does not exist");
    }
    run.tree = ScanTree(run.game, problems);
    CheckCollisions(run.tree, {o.listName + ".gz", o.launcherName + ".gz", o.maintName, kStateFileName}, problems);
    for (const SourceFile& f : run.tree.files) run.listed.push_back({f.parts, UnixSeconds(f.mtimeNs), f.size, ""});
    BuildList(o.version, run.tree.dirs, run.listed, problems);
    if (problems.empty()) return true;
    for (const std::string& p : problems) std::fprintf(run.err, "%s: refused: %s\n", kTool, p.c_str());
    std::fprintf(run.err, "%s: %zu name(s) cannot be published; nothing was written\n", kTool, problems.size());
    return false;
}

// Creates the output folder and decides which objects the last run's state
// lets us keep as they are.
bool PlanObjects(PublishRun& run) {
    std::error_code ec;
    fs::create_directories(run.outDir, ec);
    if (!StatFollow(run.outDir).isDir) {
        std::fprintf(run.err, "%s: cannot create %s: %s\n", kTool, run.o.out.c_str(), ec.message().c_str());
        return false;
    }
    RemoveStaleTemps(run.outDir);
    run.statePath = run.outDir / kStateFileName;
    run.oldState = LoadState(run.statePath);

    const auto add = [&run](size_t file, const fs::path& src, uint64_t size, int64_t mtimeNs, std::string objRel) {
        Job j;
        j.file = file;
        j.src = src;
        j.size = size;
        j.mtimeNs = mtimeNs;
        j.objRel = std::move(objRel);
        j.objPath = run.outDir / PathFromUtf8(j.objRel);
        run.jobs.push_back(std::move(j));
    };
    for (size_t i = 0; i < run.tree.files.size(); ++i) {
        const SourceFile& f = run.tree.files[i];
        add(i, f.path, f.size, f.mtimeNs, JoinParts(f.parts, '/') + ".gz");
    }
    if (!run.o.launcher.empty())
        add(SIZE_MAX, run.launcherSrc, run.launcherInfo.size, run.launcherInfo.mtimeNs, run.o.launcherName + ".gz");
    for (size_t i = 0; i < run.jobs.size(); ++i) {
        run.jobs[i].reuse = CanReuse(run.oldState, run.jobs[i]);
        if (!run.jobs[i].reuse) {
            run.work.push_back(i);
            run.workBytes += run.jobs[i].size;
        }
    }
    return true;
}

// Every changed object goes to a temporary name first; only when all of
// them are complete does any of them replace what the server serves.
bool CompressChanged(PublishRun& run) {
    std::error_code ec;
    std::vector<Job>& jobs = run.jobs;
    for (size_t i : run.work) {
        fs::create_directories(jobs[i].objPath.parent_path(), ec);
        jobs[i].temp = TempNameFor(jobs[i].objPath);
    }
    Progress progress(run.err, "compressing", run.work.size(), run.workBytes);
    std::mutex errorsLock;
    std::vector<std::string> errors;
    RunParallel(
        run.work.size(), run.o.jobs,
        [&](size_t w) {
            Job& j = jobs[run.work[w]];
            const GzipResult g = GzipFile(j.src, j.temp, run.o.level, &progress.bytes);
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
            j.rec = {j.size, j.mtimeNs, g.sha256, g.outSize, 0};
            ++progress.files;
            return true;
        },
        [&] { progress.Print(); });
    progress.End();
    if (errors.empty()) return true;
    RemoveTemps(jobs);
    for (const std::string& e : errors) Fail(run, e);
    std::fprintf(run.err, "%s: nothing was replaced\n", kTool);
    return false;
}

// The replacement launcher the list names: this run's, or the one an
// earlier run published (it stays on the server).
const ObjectRecord* ListedLauncher(const PublishRun& run) {
    if (!run.o.launcher.empty()) return &run.jobs.back().rec;
    const auto it = run.oldState.find(run.o.launcherName + ".gz");
    return it == run.oldState.end() ? nullptr : &it->second;
}

// The list text, signed when asked. The serial grows past the one it
// replaces even when two runs fall in the same second.
bool MakeList(PublishRun& run, const ParsedList& current, std::string& listText) {
    const Options& o = run.o;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (o.serial >= 0) {
        run.serial = o.serial;
        if (current.hasSerial && o.serial <= current.serial)
            std::fprintf(run.err,
                         "%s: warning: serial %lld is not above the published serial %lld; launchers that "
                         "saw the published list refuse this one\n",
                         kTool, static_cast<long long>(o.serial), static_cast<long long>(current.serial));
    } else {
        run.serial = std::max<int64_t>(now, current.hasSerial && current.serial < INT64_MAX ? current.serial + 1 : 0);
    }
    std::vector<std::string> comments = {"#hash sha256", "#serial " + std::to_string(run.serial)};
    if (o.expiresDays > 0) {
        run.expires = now + static_cast<int64_t>(o.expiresDays) * 86400;
        comments.push_back("#expires " + std::to_string(run.expires));
    }
    if (const ObjectRecord* l = ListedLauncher(run))
        comments.push_back("#launcher " + l->sha256 + " " + std::to_string(l->size));
    std::vector<std::string> problems;  // all were ruled out before anything was written
    for (size_t i = 0; i < run.tree.files.size(); ++i) run.listed[i].sha256 = run.jobs[i].rec.sha256;
    listText = BuildList(o.version, run.tree.dirs, run.listed, problems, comments);
    if (o.signKey.empty()) return true;
    std::string sig, error;
    if (!SignMessage(run.key, listText, sig, error)) return Fail(run, "cannot sign the list: " + error);
    listText = AppendSignature(listText, EncodeBase64(sig));
    return true;
}

// Objects, then the new launcher, then the list: a player who reads the
// new list finds everything it names already in place.
bool ReplaceObjects(PublishRun& run) {
    const Options& o = run.o;
    std::string error;
    const fs::path listPath = run.outDir / PathFromUtf8(o.listName + ".gz");
    std::string currentList;
    const bool haveCurrent = InflateFile(listPath, &currentList).ok;
    const ParsedList current = haveCurrent ? ParseList(currentList) : ParsedList{};
    std::string listText;
    if (!MakeList(run, current, listText)) {
        RemoveTemps(run.jobs);
        return false;
    }
    // Same files, same launcher, same expiry and signed by the same key (or
    // unsigned as before): the published list stays, serial and all.
    run.listUnchanged = haveCurrent && o.serial < 0 &&
                        WithoutSerialAndSignature(currentList) == WithoutSerialAndSignature(listText) &&
                        (o.signKey.empty() ? !current.hasSignature : SignatureMatches(current, run.key.point));
    if (run.listUnchanged) run.serial = current.serial;

    for (Job& j : run.jobs) {
        if (j.temp.empty()) continue;
        if (!ReplaceAtomically(j.temp, j.objPath, error)) {
            RemoveTemps(run.jobs);
            return Fail(run, error);
        }
        j.temp.clear();
        const FileInfo written = StatNoFollow(j.objPath);
        j.rec.objSize = written.size;
        j.rec.objMtimeNs = written.mtimeNs;
    }
    if (!run.listUnchanged && !WriteFileAtomic(listPath, GzipBytes(listText, 9), error)) return Fail(run, error);
    return true;
}

// The objects the server keeps serving: the list, the launcher and every
// file's object. Anything else ending in ".gz" is pruned.
std::set<std::string> PublishedNames(const PublishRun& run) {
    std::set<std::string> keep = {run.o.listName + ".gz", run.o.launcherName + ".gz"};
    for (const Job& j : run.jobs) keep.insert(j.objRel);
    return keep;
}

// A state that cannot be saved only costs the next run its reuse.
void SaveRunState(const PublishRun& run) {
    PublishState newState;
    for (const Job& j : run.jobs) newState[j.objRel] = j.rec;
    // A launcher published by an earlier run stays published.
    if (run.o.launcher.empty()) {
        if (const auto it = run.oldState.find(run.o.launcherName + ".gz"); it != run.oldState.end())
            newState.insert(*it);
    }
    std::string error;
    if (!SaveState(run.statePath, newState, error)) std::fprintf(run.err, "%s: warning: %s\n", kTool, error.c_str());
}

void Report(const PublishRun& run, size_t pruned, std::FILE* out) {
    const Options& o = run.o;
    uint64_t objBytes = 0;
    size_t compressed = 0;
    for (const Job& j : run.jobs) objBytes += j.rec.objSize;
    for (size_t i : run.work) compressed += run.jobs[i].file != SIZE_MAX;
    const size_t files = run.tree.files.size();
    const std::string prunedText = o.prune ? ", " + std::to_string(pruned) + " pruned" : "";
    std::fprintf(out, "%s: version %d, %zu files (%zu compressed, %zu reused), %.1f MiB of objects, list %s%s\n", kTool,
                 o.version, files, compressed, files - compressed, static_cast<double>(objBytes) / kMiB,
                 run.listUnchanged ? "unchanged" : "written", prunedText.c_str());
    std::string expiry = run.expires ? ", expires " + UtcText(run.expires) : "";
    std::fprintf(out, "%s: list serial %lld, %s%s\n", kTool, static_cast<long long>(run.serial),
                 o.signKey.empty() ? "not signed" : "signed", expiry.c_str());
    if (!o.launcher.empty())
        std::fprintf(out, "%s: launcher %s %s\n", kTool, o.launcherName.c_str(),
                     run.jobs.back().reuse ? "unchanged" : "published");
    if (o.maintenance >= 0)
        std::fprintf(out, "%s: maintenance %s (%s)\n", kTool, o.maintenance ? "on" : "off", o.maintName.c_str());
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
    PublishRun run(o, err);
    if (!CheckFolders(run) || !LoadKey(run) || !CheckNames(run) || !PlanObjects(run)) return 1;
    // Closing comes first, so players stop before objects change.
    if (o.maintenance == 1 && !SetFlag(run, true)) return 1;
    if (!CompressChanged(run) || !ReplaceObjects(run)) return 1;
    SaveRunState(run);
    if (o.maintenance == 0 && !SetFlag(run, false)) return 1;
    const size_t pruned = o.prune ? Prune(run.outDir, PublishedNames(run), err) : 0;
    Report(run, pruned, out);
    return 0;
}

namespace {

// With a key: the list must be signed by it, as its last line, and not be
// past its expiry. Returns the summary line.
std::string CheckSignature(const Options& o, const ParsedList& list, std::vector<std::string>& problems) {
    const std::string name = o.listName + ": ";
    std::string about = list.hasSerial ? "serial " + std::to_string(list.serial) : "no serial";
    if (list.hasExpires) about += ", expires " + UtcText(list.expires);
    if (o.verifyKey.empty())
        return std::string(list.hasSignature ? "signed" : "not signed") + " (" + about +
               "); signature not checked (no --key)";
    const size_t before = problems.size();
    std::string sig;
    if (!list.hasSignature) {
        problems.push_back(name + "not signed (no #sig line)");
    } else if (!list.signatureLast) {
        problems.push_back(name + "lines follow the #sig line; the signature does not cover them");
    } else if (!DecodeBase64(list.signature, sig) || sig.size() != 64) {
        problems.push_back(name + "the #sig line is not base64 of 64 bytes");
    } else if (!VerifyMessage(o.verifyKey, list.signedPart, sig)) {
        problems.push_back(name + "the signature does not match the key (signed by another key, or changed since)");
    }
    if (!list.hasSerial) problems.push_back(name + "no #serial line");
    if (list.hasExpires && list.expires < static_cast<int64_t>(std::time(nullptr)))
        problems.push_back(name + "expired at " + UtcText(list.expires) + "; publish again with --sign to renew it");
    return std::string(problems.size() == before ? "signature valid" : "signature NOT valid") + " (" + about + ")";
}

}  // namespace

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
    if (list.hasLauncher) checks.push_back({o.launcherName, list.launcherSize, list.launcherSha256, ""});
    else if (StatNoFollow(launcherObj).exists) checks.push_back({o.launcherName, -1, "", ""});

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
                    c.problem =
                        "inflates to " + std::to_string(r.size) + " bytes, the list says " + std::to_string(c.size);
                } else if (IsSha256Token(c.token)) {
                    if (c.token != r.sha256)
                        c.problem = "content differs from the list (SHA-256 " + r.sha256 + ", listed " + c.token + ")";
                } else if (list.sha256Hashes && !c.token.empty()) {
                    c.problem = "the list says #hash sha256 but gives \"" + c.token + "\"";
                } else if (c.token.size() == 8 && c.token.find_first_not_of("0123456789abcdef") == std::string::npos &&
                           c.token != CrcToken(r.crc)) {
                    // Lists of earlier versions of this tool carry a CRC-32.
                    c.problem =
                        "content differs from the list (CRC-32 " + CrcToken(r.crc) + ", listed " + c.token + ")";
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
    const std::string signature = CheckSignature(o, list, problems);
    for (const std::string& p : problems) std::fprintf(err, "%s: %s\n", kTool, p.c_str());
    std::fprintf(out, "%s: %s\n", kTool, signature.c_str());
    std::fprintf(out, "%s: verified %zu objects of version %d: %zu problem(s)\n", kTool, checks.size(), list.version,
                 problems.size());
    return problems.empty() ? 0 : 1;
}

int Keygen(const Options& o, std::FILE* out, std::FILE* err) {
    SigningKey key;
    std::string error;
    if (!GenerateSigningKey(key, error) || !WriteNewKeyFile(PathFromUtf8(o.keyOut), key, error)) {
        std::fprintf(err, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    // The public key alone on stdout, so that scripts can capture it.
    std::fprintf(out, "%s\n", EncodeBase64(key.point).c_str());
    std::fprintf(err,
                 "%s: private key written to %s; keep it off the servers. Put the line above in Veltrune.ini "
                 "as [patch] listKey=\n",
                 kTool, o.keyOut.c_str());
    return 0;
}

}  // namespace vr::publish

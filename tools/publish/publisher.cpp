#include "publisher.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "common.h"
#include "crypto.h"
#include "freshness.h"
#include "fs_util.h"
#include "gzip_file.h"
#include "key_file.h"
#include "list_format.h"
#include "names.h"
#include "net/base64.h"
#include "patcher/chunk_index.h"
#include "patcher/chunker.h"
#include "patcher/freshness.h"
#include "patcher/list_rules.h"
#include "scan.h"
#include "state.h"
#include "work_pool.h"

namespace vr::publish {
namespace {

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
    bool chunked = false;  // big enough to be cut into chunks
    bool whole = true;     // has a whole-file object (all but chunked files under --chunks-only)
    ChunkIndex index;      // chunked: this run's cut, or the reused one read back
    // New chunk and index objects: temporary name, then the name they take.
    std::vector<std::pair<fs::path, fs::path>> chunkTemps;
    uint64_t chunkBytes = 0;  // of the new chunk objects
    bool newIndex = false;    // chunkTemps ends with the index
};

bool SameParams(const ChunkParams& a, const ChunkParams& b) {
    return a.minSize == b.minSize && a.avgSize == b.avgSize && a.maxSize == b.maxSize;
}

// Written beside its final name, renamed into place with the other objects.
bool WriteTemp(const fs::path& path, const std::string& bytes, std::string& error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::FILE* f = OpenFile(path, "wb");
    if (!f) {
        error = "cannot create " + Printable(path) + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written) {
        error = "cannot write " + Printable(path);
        return false;
    }
    return true;
}

// A chunked file is reused only with its index and every chunk in place, and
// cut with the parameters this build publishes with.
bool CanReuse(const PublishState& state, const fs::path& out, Job& job) {
    const auto it = state.find(job.objRel);
    if (it == state.end() || it->second.size != job.size || it->second.mtimeNs != job.mtimeNs) return false;
    if (job.whole) {
        const FileInfo obj = StatNoFollow(job.objPath);
        if (it->second.objSize == 0 || !obj.isFile || obj.size != it->second.objSize ||
            obj.mtimeNs != it->second.objMtimeNs)
            return false;
    }
    if (job.chunked) {
        std::string why;
        if (it->second.indexSha256.empty() || !ReadIndex(out, it->second.indexSha256, job.index, why) ||
            job.index.fileSize != job.size || !SameParams(job.index.params, kDefaultChunkParams) ||
            // The index says where its chunks sit in the whole object exactly
            // when there is one.
            (!job.index.chunks.empty() && (job.index.chunks.front().wholeAt >= 0) != job.whole))
            return false;
        for (const ChunkEntry& c : job.index.chunks) {
            if (!StatNoFollow(ChunkObjectFile(out, c.sha256)).isFile) return false;
        }
    }
    job.rec = it->second;
    if (!job.whole) job.rec.objSize = job.rec.objMtimeNs = 0;
    if (!job.chunked) job.rec.indexSha256.clear();
    return true;
}

void RemoveTemps(std::vector<Job>& jobs) {
    std::error_code ec;
    for (Job& j : jobs) {
        if (!j.temp.empty()) fs::remove(j.temp, ec);
        j.temp.clear();
        for (const auto& [temp, final] : j.chunkTemps) fs::remove(temp, ec);
        j.chunkTemps.clear();
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
        // Chunks and indexes go by the lists that name them (PruneChunks).
        if (rel.rfind(std::string(kChunkRootName) + "/", 0) == 0) continue;
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
    SavedState saved;  // the last run's
    const PublishState& oldState = saved.objects;
    std::vector<std::string> listedIndexes;  // of the list this run replaces
    int64_t listedSerial = 0;
    // Chunk and index objects this run writes or found in place, so that
    // equal chunks of several files are written once.
    std::mutex chunkLock;
    std::set<std::string> claimed;
    std::vector<Job> jobs;     // the tree's files in order, then the launcher
    std::vector<size_t> work;  // jobs whose object is compressed anew
    uint64_t workBytes = 0;
    bool listUnchanged = false;
    size_t chunksWritten = 0;
    uint64_t chunkBytesWritten = 0;
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
    // "chunks" holds the chunk objects; a file of that name is refused too, so
    // that the top level never mixes game data with the chunk store.
    CheckCollisions(run.tree,
                    {o.listName + ".gz", o.listName + kFreshnessSuffix, o.launcherName + ".gz", o.maintName,
                     kStateFileName, kChunkRootName,
                     std::string(kChunkRootName) + ".gz"},
                    problems);
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
    run.saved = LoadState(run.statePath);

    const auto add = [&run](size_t file, const fs::path& src, uint64_t size, int64_t mtimeNs, std::string objRel) {
        Job j;
        j.file = file;
        j.src = src;
        j.size = size;
        j.mtimeNs = mtimeNs;
        j.objRel = std::move(objRel);
        j.objPath = run.outDir / PathFromUtf8(j.objRel);
        j.chunked = file != SIZE_MAX && size >= kChunkThreshold;
        j.whole = !(j.chunked && run.o.chunksOnly);
        run.jobs.push_back(std::move(j));
    };
    for (size_t i = 0; i < run.tree.files.size(); ++i) {
        const SourceFile& f = run.tree.files[i];
        add(i, f.path, f.size, f.mtimeNs, JoinParts(f.parts, '/') + ".gz");
    }
    if (!run.o.launcher.empty())
        add(SIZE_MAX, run.launcherSrc, run.launcherInfo.size, run.launcherInfo.mtimeNs, run.o.launcherName + ".gz");
    for (size_t i = 0; i < run.jobs.size(); ++i) {
        run.jobs[i].reuse = CanReuse(run.oldState, run.outDir, run.jobs[i]);
        if (!run.jobs[i].reuse) {
            run.work.push_back(i);
            run.workBytes += run.jobs[i].size;
        }
    }
    return true;
}

// True when this run is to write the object: it is neither on the server
// already (content-addressed, so its bytes are right) nor claimed by
// another file of this run.
bool Claim(PublishRun& run, const std::string& key, const fs::path& object) {
    std::lock_guard<std::mutex> lock(run.chunkLock);
    return run.claimed.insert(key).second && !StatNoFollow(object).isFile;
}

// One read of a big file feeds its SHA-256, its whole-file object (unless
// chunks only) and the chunker; each chunk is hashed and, when new,
// compressed by whichever thread is free.
bool ChunkFile(PublishRun& run, Job& j, SideWork& side, Progress& progress, std::string& why) {
    std::FILE* in = OpenFile(j.src, "rb");
    if (!in) {
        why = "cannot read " + Printable(j.src) + ": " + std::strerror(errno);
        return false;
    }
    GzipWriter whole;
    if (j.whole && !whole.Open(j.temp, run.o.level)) {
        why = whole.Error();
        std::fclose(in);
        return false;
    }
    Sha256Hasher sha;
    uint64_t read = 0;
    StreamChunker chunker(kDefaultChunkParams, [&](uint8_t* dst, size_t cap) -> int64_t {
        const size_t n = std::fread(dst, 1, cap, in);
        if (n == 0 && std::ferror(in)) return -1;
        sha.Update(dst, n);
        read += n;
        progress.bytes += n;
        return static_cast<int64_t>(n);
    });
    // Every chunk starts at a full flush of the whole object, so a launcher
    // can fetch any run of chunks from it with one Range request.
    int64_t at = j.whole ? whole.FullFlush() : -1;
    std::deque<ChunkEntry> chunks;  // stable addresses for the tasks
    std::mutex lock;
    std::string taskError;
    SideWork::Group group;
    const uint8_t* data = nullptr;
    size_t size = 0;
    while (chunker.Next(data, size)) {
        ChunkEntry& e = chunks.emplace_back();
        e.offset = chunker.Offset();
        e.size = static_cast<uint32_t>(size);
        e.wholeAt = at;
        if (j.whole && (!whole.Write(data, size) || (at = whole.FullFlush()) < 0)) break;
        side.Post(group, [&run, &j, &e, &lock, &taskError, bytes = std::string(data, data + size)] {
            e.sha256 = Sha256Hex(bytes);
            e.fast = FastChunkHash(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            const fs::path object = ChunkObjectFile(run.outDir, e.sha256);
            if (e.sha256.empty() || !Claim(run, "c" + e.sha256, object)) return;
            const fs::path temp = TempNameFor(object);
            const std::string member = GzipBytes(bytes, run.o.level);
            std::string error;
            const bool ok = WriteTemp(temp, member, error);
            std::lock_guard<std::mutex> guard(lock);
            j.chunkTemps.emplace_back(temp, object);  // removed on failure too
            j.chunkBytes += member.size();
            if (!ok && taskError.empty()) taskError = error;
        });
    }
    side.Wait(group);
    const bool readFailed = chunker.Failed() || std::ferror(in) || (j.whole && !whole.Error().empty());
    std::fclose(in);
    const bool wholeOk = !j.whole || whole.Finish();
    if (readFailed) why = j.whole && !whole.Error().empty() ? whole.Error() : "read error in " + Printable(j.src);
    else if (!wholeOk) why = whole.Error();
    else if (!taskError.empty()) why = taskError;
    if (!why.empty()) return false;
    for (const ChunkEntry& e : chunks) {
        if (e.sha256.empty()) {
            why = "SHA-256 failed";
            return false;
        }
    }
    const std::string fileSha = sha.FinishHex();
    const FileInfo now = StatFollow(j.src);
    if (read != j.size || now.size != j.size || now.mtimeNs != j.mtimeNs) {
        why = "\"" + Printable(j.src) + "\" changed while it was read; run again";
        return false;
    }
    j.index = ChunkIndex{kDefaultChunkParams, j.size, std::vector<ChunkEntry>(chunks.begin(), chunks.end())};
    const std::string text = FormatChunkIndex(j.index);
    const std::string indexSha = Sha256Hex(text);
    if (fileSha.empty() || indexSha.empty()) {
        why = "SHA-256 failed";
        return false;
    }
    const fs::path indexObject = IndexObjectFile(run.outDir, indexSha);
    if (Claim(run, "i" + indexSha, indexObject)) {
        const fs::path temp = TempNameFor(indexObject);
        j.chunkTemps.emplace_back(temp, indexObject);
        j.newIndex = true;
        if (!WriteTemp(temp, GzipBytes(text, 9), why)) return false;
    }
    j.rec = {j.size, j.mtimeNs, fileSha, j.whole ? whole.OutSize() : 0, 0, indexSha};
    return true;
}

// Every changed object goes to a temporary name first; only when all of
// them are complete does any of them replace what the server serves.
bool CompressChanged(PublishRun& run) {
    std::error_code ec;
    std::vector<Job>& jobs = run.jobs;
    for (size_t i : run.work) {
        fs::create_directories(jobs[i].objPath.parent_path(), ec);
        if (jobs[i].whole) jobs[i].temp = TempNameFor(jobs[i].objPath);
    }
    Progress progress(run.err, "compressing", run.work.size(), run.workBytes);
    std::mutex errorsLock;
    std::vector<std::string> errors;
    const unsigned threads = run.o.jobs ? run.o.jobs : DefaultJobs();
    SideWork side(2 * static_cast<size_t>(threads));
    RunParallel(
        run.work.size(), threads,
        [&](size_t w) {
            Job& j = jobs[run.work[w]];
            std::string why;
            if (j.chunked) {
                ChunkFile(run, j, side, progress, why);
            } else {
                const GzipResult g = GzipFile(j.src, j.temp, run.o.level, &progress.bytes);
                why = g.error;
                if (g.ok) {
                    // The list must describe the bytes in the object.
                    const FileInfo now = StatFollow(j.src);
                    if (g.inSize != j.size || now.size != j.size || now.mtimeNs != j.mtimeNs)
                        why = "\"" + Printable(j.src) + "\" changed while it was read; run again";
                }
                j.rec = {j.size, j.mtimeNs, g.sha256, g.outSize, 0, ""};
            }
            if (!why.empty()) {
                std::lock_guard<std::mutex> lock(errorsLock);
                errors.push_back(why);
                return false;
            }
            ++progress.files;
            return true;
        },
        [&] { progress.Print(); }, &side);
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
        run.serial = std::max<int64_t>(now, current.hasSerial ? current.serial + 1 : 0);
        if (run.serial > kMaxListNumber)
            return Fail(run, "the published serial is the highest launchers read; publish with --serial and a new key");
    }
    std::vector<std::string> comments = {"#hash sha256", "#serial " + std::to_string(run.serial)};
    const int days = o.signKey.empty() || o.noExpires ? 0 : o.expiresDays > 0 ? o.expiresDays : kDefaultExpiresDays;
    if (days > 0) {
        run.expires = now + static_cast<int64_t>(days) * 86400;
        comments.push_back("#expires " + std::to_string(run.expires));
    }
    if (const ObjectRecord* l = ListedLauncher(run))
        comments.push_back("#launcher " + l->sha256 + " " + std::to_string(l->size));
    // Files with equal content share one index and one line.
    std::set<std::string> chunksLines;
    for (const Job& j : run.jobs) {
        if (j.chunked && chunksLines.insert(j.rec.sha256).second)
            comments.push_back(FormatChunksLine(j.rec.sha256, j.rec.indexSha256));
    }
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
    for (const ParsedList::Chunked& c : current.chunked) run.listedIndexes.push_back(c.indexSha256);
    run.listedSerial = current.serial;
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

    // New chunks and indexes first: nothing names them yet.
    for (Job& j : run.jobs) {
        for (const auto& [temp, final] : j.chunkTemps) {
            if (!ReplaceAtomically(temp, final, error)) {
                RemoveTemps(run.jobs);
                return Fail(run, error);
            }
        }
        run.chunksWritten += j.chunkTemps.size() - j.newIndex;
        run.chunkBytesWritten += j.chunkBytes;
        j.chunkTemps.clear();
    }
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
    // After the list, so it never names a list that is not there yet.
    if (!WriteFreshness(run.outDir / PathFromUtf8(o.listName + kFreshnessSuffix),
                        run.listUnchanged ? currentList : listText, o.signKey.empty() ? nullptr : &run.key, error))
        return Fail(run, error);
    return true;
}

// The objects the server keeps serving: the list, the launcher and every
// file's object. Anything else ending in ".gz" is pruned.
std::set<std::string> PublishedNames(const PublishRun& run) {
    std::set<std::string> keep = {run.o.listName + ".gz", run.o.launcherName + ".gz"};
    for (const Job& j : run.jobs) {
        if (j.whole) keep.insert(j.objRel);
    }
    return keep;
}

// The sorted indexes the current list names.
std::vector<std::string> CurrentIndexes(const PublishRun& run) {
    std::set<std::string> ix;
    for (const Job& j : run.jobs) {
        if (j.chunked) ix.insert(j.rec.indexSha256);
    }
    return {ix.begin(), ix.end()};
}

// With --chunks-only a big file's whole object, left by an earlier run, has
// no place any more. It goes only once the new list is in place (a pass on
// the old list may still fetch it); old launchers then get a clear 404, never
// bytes the list no longer describes.
size_t RemoveStaleWholeObjects(const PublishRun& run) {
    size_t removed = 0;
    std::error_code ec;
    for (const Job& j : run.jobs) {
        if (!j.whole && StatNoFollow(j.objPath).isFile && fs::remove(j.objPath, ec)) ++removed;
    }
    return removed;
}

struct ChunkCounts {
    size_t referenced = 0;  // distinct chunks the current list needs
    size_t prunedChunks = 0;
    size_t prunedIndexes = 0;
};

// Removes chunks and indexes that neither the current list nor the earlier
// lists the state remembers name. When an earlier list's index cannot be
// read, its chunks are unknown and nothing is pruned.
ChunkCounts PruneChunks(const PublishRun& run, const SavedState& state, bool prune) {
    ChunkCounts counts;
    std::set<std::string> keepIndexes, keepChunks;
    for (const Job& j : run.jobs) {
        if (!j.chunked) continue;
        keepIndexes.insert(j.rec.indexSha256);
        for (const ChunkEntry& c : j.index.chunks) keepChunks.insert(c.sha256);
    }
    counts.referenced = keepChunks.size();
    if (!prune) return counts;
    for (const ListedIndexes& l : state.lists) {
        for (const std::string& sha : l.indexes) {
            if (!keepIndexes.insert(sha).second) continue;
            ChunkIndex index;
            std::string why;
            if (!ReadIndex(run.outDir, sha, index, why)) {
                std::fprintf(run.err, "%s: warning: %s.gz of list %lld: %s; no chunks pruned\n", kTool,
                             IndexObjectPath(sha).c_str(), static_cast<long long>(l.serial), why.c_str());
                return counts;
            }
            for (const ChunkEntry& c : index.chunks) keepChunks.insert(c.sha256);
        }
    }
    const fs::path root = run.outDir / kChunkRootName;
    std::error_code ec;
    std::vector<std::pair<fs::path, bool>> doomed;  // path, is an index
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code e2;
        if (it->is_symlink(e2) || !it->is_regular_file(e2)) continue;
        const std::string name = it->path().filename().string();
        const std::string dir = it->path().parent_path().filename().string();
        if (name.size() != 67 || name.compare(64, 3, ".gz") != 0 || it->path().parent_path().parent_path() != root)
            continue;
        const std::string sha = name.substr(0, 64);
        if (!IsLowerHexSha256(sha)) continue;
        if (dir == "ix" ? !keepIndexes.count(sha) : dir == sha.substr(0, 2) && !keepChunks.count(sha))
            doomed.emplace_back(it->path(), dir == "ix");
    }
    for (const auto& [path, isIndex] : doomed) {
        if (!fs::remove(path, ec)) {
            std::fprintf(run.err, "%s: cannot remove %s: %s\n", kTool, Printable(path).c_str(), ec.message().c_str());
            continue;
        }
        ++(isIndex ? counts.prunedIndexes : counts.prunedChunks);
        fs::remove(path.parent_path(), ec);  // only when empty
    }
    return counts;
}

// The list history: the list this run replaced (read from the server, so
// that it counts even when the last state was not saved), then this run's.
// False when the state could not be saved; pruning then waits for a run
// that remembers what it spares.
bool SaveRunState(const PublishRun& run, SavedState& saved) {
    SavedState next;
    next.lists = run.saved.lists;
    if (!run.listedIndexes.empty()) {
        std::vector<std::string> listed(run.listedIndexes);
        std::sort(listed.begin(), listed.end());
        listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
        if (next.lists.empty() || next.lists.back().indexes != listed)
            next.lists.push_back({run.listedSerial, std::move(listed)});
    }
    if (!run.listUnchanged) next.lists.push_back({run.serial, CurrentIndexes(run)});
    while (next.lists.size() > static_cast<size_t>(run.o.keepLists) + 1) next.lists.erase(next.lists.begin());
    PublishState& newState = next.objects;
    for (const Job& j : run.jobs) newState[j.objRel] = j.rec;
    // A launcher published by an earlier run stays published.
    if (run.o.launcher.empty()) {
        if (const auto it = run.oldState.find(run.o.launcherName + ".gz"); it != run.oldState.end())
            newState.insert(*it);
    }
    saved = next;
    std::string error;
    if (SaveState(run.statePath, next, error)) return true;
    std::fprintf(run.err, "%s: warning: %s; no chunks pruned\n", kTool, error.c_str());
    return false;
}

void Report(const PublishRun& run, size_t pruned, const ChunkCounts& chunks, std::FILE* out) {
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
    const size_t chunkedFiles = std::count_if(run.jobs.begin(), run.jobs.end(), [](const Job& j) { return j.chunked; });
    if (chunkedFiles || chunks.prunedChunks || chunks.prunedIndexes)
        std::fprintf(out,
                     "%s: %zu chunked file(s): %zu chunks written (%.1f MiB), %zu reused, %zu pruned; %zu "
                     "index(es) pruned\n",
                     kTool, chunkedFiles, run.chunksWritten, static_cast<double>(run.chunkBytesWritten) / kMiB,
                     chunks.referenced - std::min(chunks.referenced, run.chunksWritten), chunks.prunedChunks,
                     chunks.prunedIndexes);
    std::string expiry = run.expires ? ", expires " + UtcText(run.expires) : o.signKey.empty() ? "" : ", no expiry";
    std::fprintf(out, "%s: list serial %lld, %s%s\n", kTool, static_cast<long long>(run.serial),
                 o.signKey.empty() ? "not signed" : "signed", expiry.c_str());
    if (!o.launcher.empty())
        std::fprintf(out, "%s: launcher %s %s\n", kTool, o.launcherName.c_str(),
                     run.jobs.back().reuse ? "unchanged" : "published");
    if (o.maintenance >= 0)
        std::fprintf(out, "%s: maintenance %s (%s)\n", kTool, o.maintenance ? "on" : "off", o.maintName.c_str());
}

}  // namespace

int Publish(const Options& o, std::FILE* out, std::FILE* err) {
    PublishRun run(o, err);
    if (!CheckFolders(run) || !LoadKey(run) || !CheckNames(run) || !PlanObjects(run)) return 1;
    // Closing comes first, so players stop before objects change.
    if (o.maintenance == 1 && !SetFlag(run, true)) return 1;
    if (!CompressChanged(run) || !ReplaceObjects(run)) return 1;
    SavedState saved;
    const bool remembered = SaveRunState(run, saved);
    if (o.maintenance == 0 && !SetFlag(run, false)) return 1;
    const size_t pruned = o.prune ? Prune(run.outDir, PublishedNames(run), err) : 0;
    const ChunkCounts chunks = PruneChunks(run, saved, remembered);
    if (o.chunksOnly) {
        const size_t removed = RemoveStaleWholeObjects(run);
        const size_t onlyChunks =
            std::count_if(run.jobs.begin(), run.jobs.end(), [](const Job& j) { return !j.whole; });
        if (onlyChunks)
            std::fprintf(err,
                         "%s: warning: --chunks-only: %zu file(s) of %llu MiB or more have no whole object%s; "
                         "launchers without chunk support cannot patch them from this folder\n",
                         kTool, onlyChunks, static_cast<unsigned long long>(kChunkThreshold >> 20),
                         removed ? (" (" + std::to_string(removed) + " earlier one(s) removed)").c_str() : "");
    }
    Report(run, pruned, chunks, out);
    return 0;
}

}  // namespace vr::publish

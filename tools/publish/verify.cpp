#include "publisher.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <map>
#include <set>

#include "common.h"
#include "crypto.h"
#include "gzip_file.h"
#include "list_format.h"
#include "names.h"
#include "net/base64.h"
#include "patcher/chunker.h"
#include "patcher/list_rules.h"
#include "work_pool.h"

namespace vr::publish {
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

// One "#chunks" line: the index it names must be the one published, fit the
// listed file, and its chunks, each as named, must reassemble to the file.
// Returns how many objects it read; problems go to `problems`.
// Each chunk's place in the whole-file object must inflate, on its own, to
// that chunk: launchers fetch runs of chunks from there by Range requests.
void CheckPlaces(const fs::path& whole, const std::string& wholeName, const ChunkIndex& index,
                 std::vector<std::string>& problems) {
    if (index.chunks.empty() || index.chunks.front().wholeAt < 0 || !StatNoFollow(whole).isFile) return;
    for (size_t k = 0; k < index.chunks.size(); ++k) {
        const ChunkEntry& c = index.chunks[k];
        const int64_t to = k + 1 < index.chunks.size() ? index.chunks[k + 1].wholeAt : -1;
        std::string bytes, error;
        if (!InflateRange(whole, static_cast<uint64_t>(c.wholeAt), to, bytes, error) || bytes.size() != c.size ||
            Sha256Hex(bytes) != c.sha256) {
            problems.push_back(wholeName + "chunk " + std::to_string(k + 1) + " is not at the place its index gives (" +
                               std::to_string(c.wholeAt) + ")" + (error.empty() ? "" : ": " + error));
            return;
        }
    }
}

size_t CheckChunked(const fs::path& dir, const ParsedList::Chunked& line, int64_t listedSize,
                    const std::string& wholeRel, std::atomic<uint64_t>& progress, std::vector<std::string>& problems) {
    const std::string ixName = "\"" + IndexObjectPath(line.indexSha256) + ".gz\": ";
    if (listedSize < 0) problems.push_back("#chunks " + line.fileSha256 + ": no listed file has that SHA-256");
    ChunkIndex index;
    std::string why;
    if (!ReadIndex(dir, line.indexSha256, index, why)) {
        problems.push_back(ixName + why);
        return 1;
    }
    if (listedSize >= 0 && index.fileSize != static_cast<uint64_t>(listedSize))
        problems.push_back(ixName + "the index is of " + std::to_string(index.fileSize) + " bytes, the list says " +
                           std::to_string(listedSize));
    Sha256Hasher file;
    bool whole = true;  // every chunk as named, so a wrong file hash is the index's fault
    for (const ChunkEntry& c : index.chunks) {
        const std::string name = "\"" + ChunkObjectPath(c.sha256) + ".gz\": ";
        std::string bytes;
        const InflateResult r = InflateFile(ChunkObjectFile(dir, c.sha256), &bytes);
        progress += r.size;
        if (!r.ok) {
            problems.push_back(name + r.error);
            whole = false;
            continue;
        }
        if (r.size != c.size) {
            problems.push_back(name + "inflates to " + std::to_string(r.size) + " bytes, the index says " +
                               std::to_string(c.size));
            whole = false;
        } else if (r.sha256 != c.sha256) {
            problems.push_back(name + "content differs from its name (SHA-256 " + r.sha256 + ")");
            whole = false;
        } else if (FastChunkHash(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) != c.fast) {
            problems.push_back(ixName + "wrong fast hash for chunk " + c.sha256);
        }
        file.Update(bytes.data(), bytes.size());
    }
    const std::string got = file.FinishHex();
    if (whole && got != line.fileSha256)
        problems.push_back(ixName + "the chunks reassemble to SHA-256 " + got + ", the list says " + line.fileSha256);
    if (whole && got == line.fileSha256 && !wholeRel.empty())
        CheckPlaces(dir / PathFromUtf8(wholeRel), "\"" + wholeRel + "\": ", index, problems);
    return 1 + index.chunks.size();
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
    std::set<std::string> chunkedFiles;
    for (const ParsedList::Chunked& c : list.chunked) chunkedFiles.insert(c.fileSha256);
    for (const std::string& line : list.badChunksLines)
        problems.push_back(o.listName + ": malformed line \"" + line + "\"");
    for (const std::string& line : list.badSignedLines)
        problems.push_back(o.listName + ": malformed line \"" + line + "\" (launchers refuse the signed list)");
    for (const ParsedFile& f : list.files) {
        Check c;
        c.rel = f.relPath;
        std::replace(c.rel.begin(), c.rel.end(), '\\', '/');
        c.size = f.size;
        c.token = f.token;
        // What the launcher would refuse to write is a fault of the list.
        if (!IsSafeListPath(f.relPath, false) || !IsValidUtf8(f.relPath)) c.problem = "unsafe path in the list";
        else if (f.relPath.find('\\') == std::string::npos && IsLauncherOwnName(f.relPath))
            c.problem = "the launcher's own file, which it never replaces from a list";
        // A chunked file's whole object is optional (--chunks-only).
        if (c.problem.empty() && chunkedFiles.count(c.token) && !StatNoFollow(dir / PathFromUtf8(c.rel + ".gz")).exists)
            continue;
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
    std::map<std::string, std::pair<int64_t, std::string>> listedFiles;  // by SHA-256: size, whole object
    for (const ParsedFile& f : list.files) {
        std::string rel = f.relPath;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        listedFiles.emplace(f.token, std::pair(f.size, rel + ".gz"));
    }
    std::vector<ParsedList::Chunked> lines;
    std::set<std::pair<std::string, std::string>> seen;
    for (const ParsedList::Chunked& c : list.chunked) {
        if (seen.emplace(c.fileSha256, c.indexSha256).second) lines.push_back(c);
    }
    std::vector<std::vector<std::string>> chunkProblems(lines.size());
    std::atomic<size_t> objects{checks.size()};
    Progress chunkProgress(err, "verifying chunks", lines.size(), 0);
    RunParallel(
        lines.size(), o.jobs,
        [&](size_t i) {
            const auto it = listedFiles.find(lines[i].fileSha256);
            const bool listed = it != listedFiles.end();
            objects += CheckChunked(dir, lines[i], listed ? it->second.first : -1, listed ? it->second.second : "",
                                    chunkProgress.bytes, chunkProblems[i]);
            ++chunkProgress.files;
            return true;
        },
        [&] { chunkProgress.Print(); });
    chunkProgress.End();
    for (const auto& found : chunkProblems) problems.insert(problems.end(), found.begin(), found.end());
    const std::string signature = CheckSignature(o, list, problems);
    for (const std::string& p : problems) std::fprintf(err, "%s: %s\n", kTool, p.c_str());
    std::fprintf(out, "%s: %s\n", kTool, signature.c_str());
    std::fprintf(out, "%s: verified %zu objects of version %d: %zu problem(s)\n", kTool, objects.load(), list.version,
                 problems.size());
    return problems.empty() ? 0 : 1;
}

}  // namespace vr::publish

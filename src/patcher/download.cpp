#include <windows.h>

#include "net/gzip_stream.h"
#include "patcher/patcher.h"
#include "patcher/staged_file.h"
#include "patcher/streaming_hash.h"
#include "platform/handles.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

// Attempts on one server: the first plus five retries.
constexpr int kMaxRetries = 5;
constexpr int kPauseSlices = 20;
constexpr uint32_t kPauseSliceMs = 100;
// The inflated list is held in memory; a real one is a few MiB at most, so
// past this a broken or hostile server is feeding a decompression bomb.
constexpr uint64_t kMaxListBytes = 64ull << 20;

// The pass-wide figures shown with every file's progress.
struct PassFigures {
    double speed;
    double doneMb;
};

PassFigures Figures(uint64_t runStartTick, int64_t bytesReceived) {
    const double elapsed = static_cast<double>(GetTickCount64() - runStartTick) / 1000.0;
    const double mb = static_cast<double>(bytesReceived) / kBytesPerMiB;
    return {elapsed > 0.001 ? mb / elapsed : 0.0, mb};
}

void Report(const PatchCallbacks& callbacks, const std::string& text) {
    if (callbacks.status) callbacks.status(text);
}

// An object is its first gzip member: once that member and its trailer are
// in, the transfer stops, however much more the server would send, and the
// decoded bytes are judged like any complete download (size, hash).
HttpStatus EndOfMember(const std::wstring& relPath, const std::wstring& url) {
    LogFormat("Patcher: %ls from %ls goes on after its gzip member; the rest is not read", relPath.c_str(),
              HostOf(url).c_str());
    return HttpStatus::Ok;
}

}  // namespace

void Patcher::ReportFileProgress(const PatchCallbacks& callbacks, int percent, const std::wstring& relPath) const {
    if (!callbacks.fileProgress) return;
    const PassFigures f = Figures(runStartTick, bytesReceived.load());
    callbacks.fileProgress(percent, f.speed, f.doneMb, relPath);
}

// The 2 s pause between attempts, cut into slices so a cancel is seen quickly.
bool Patcher::PauseUnlessCancelled(const std::atomic<bool>& cancel) const {
    for (int i = 0; i < kPauseSlices; ++i) {
        if (cancel.load()) return false;
        seams.pause(kPauseSliceMs);
    }
    return true;
}

TransferResult Patcher::Fetch(const std::wstring& relPath, const std::atomic<bool>& cancel,
                             const PatchCallbacks& callbacks, const Attempt& attempt) {
    TransferResult result;
    if (servers.empty()) {
        result.status = HttpStatus::Failed;
        return result;
    }
    // The file's own place in the server order: with parallel downloads the
    // shared choice may move on while this file is still on an earlier server.
    size_t server = CurrentServer();
    bool refusedAny = false;
    for (;;) {
        result.url = BuildUrlOn(server, relPath);
        HttpStatus remembered = HttpStatus::Failed;
        for (int tries = 0;; ++tries) {
            if (cancel.load()) {
                result.status = HttpStatus::Cancelled;
                return result;
            }
            AttemptNotes notes;
            const HttpStatus r = attempt(result.url, notes);
            if (r == HttpStatus::Ok || r == HttpStatus::Cancelled) {
                result.status = r;
                return result;
            }
            // A full disk or a refused write does not mend itself in a retry
            // pause, and another server would not help either.
            if (notes.writeError != 0) {
                result.status = HttpStatus::Aborted;
                result.writeError = notes.writeError;
                return result;
            }
            // This server serves bytes the list does not vouch for; asking it
            // again would get the same, so another server heals the file.
            if (notes.refused) {
                refusedAny = true;
                remembered = HttpStatus::Aborted;
                break;
            }
            // A server that trickles would do it again on every retry.
            if (notes.stalled) {
                LogFormat("Patcher: %ls from %ls moved under %llu bytes in %u ms of waiting; trying another server",
                          relPath.c_str(), HostOf(result.url).c_str(),
                          static_cast<unsigned long long>(seams.stallMinBytes), seams.stallWindowMs);
                {
                    std::lock_guard<std::mutex> guard(stateLock);
                    stalledServers.insert(servers[server]);
                }
                remembered = HttpStatus::Failed;
                break;
            }
            if (r == HttpStatus::NotFound) {
                remembered = HttpStatus::NotFound;
                break;
            }
            if (tries >= kMaxRetries) {
                remembered = HttpStatus::Failed;
                break;
            }
            Report(callbacks, "Network Error! Retrying...");
            if (!PauseUnlessCancelled(cancel)) {
                result.status = HttpStatus::Cancelled;
                return result;
            }
        }
        // Servers are tried once each and never wrap around, so one bad file
        // cannot keep a pass cycling forever.
        if (server + 1 >= servers.size()) {
            // Tampering anywhere outweighs a plain miss elsewhere: the player
            // and the operator must hear that a server served wrong bytes.
            result.refused = refusedAny;
            result.status = refusedAny ? HttpStatus::Aborted : remembered;
            return result;
        }
        ++server;
        // Files in flight that fail on the server another file already left
        // follow it without announcing the same switch again.
        if (AdvanceServer(server)) {
            Report(callbacks, "Switching to server: " + WideToUtf8(HostOf(servers[server])));
        }
    }
}

TransferResult Patcher::FetchToMemory(const std::wstring& relPath, std::string& out, uint64_t maxBytes,
                                      const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                                      const AcceptFn& accept) {
    const Attempt attempt = [&](const std::wstring& url, AttemptNotes& notes) {
        out.clear();
        GzipStream gz([&out, &relPath, maxBytes](const uint8_t* data, uint64_t size) {
            if (out.size() + size > maxBytes) {
                LogFormat("Patcher: %ls is larger than %llu MiB once inflated; refused", relPath.c_str(),
                          static_cast<unsigned long long>(maxBytes >> 20));
                return false;
            }
            out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
            return true;
        });
        bool pastEnd = false;
        HttpStatus r = http.Get(
            url,
            [&](const uint8_t* data, uint64_t size) {
                bytesReceived.fetch_add(static_cast<int64_t>(size));
                return gz.Feed(data, size) && !(pastEnd = gz.PastEnd());
            },
            nullptr, &cancel, &notes.stalled);
        if (pastEnd) r = EndOfMember(relPath, url);
        if (r == HttpStatus::Ok && !gz.Finish()) return HttpStatus::Failed;
        if (r == HttpStatus::Ok && accept && !accept(out, url)) {
            out.clear();
            notes.refused = true;
            return HttpStatus::Aborted;
        }
        return r;
    };
    return Fetch(relPath, cancel, callbacks, attempt);
}

HttpStatus Patcher::DownloadToString(const std::wstring& relPath, std::string& out, const std::atomic<bool>& cancel,
                                     const PatchCallbacks& callbacks,
                                     const AcceptFn& accept, TransferResult* result) {
    const TransferResult r = FetchToMemory(relPath, out, kMaxListBytes, cancel, callbacks, accept);
    lastUrl = r.url;
    if (result) *result = r;
    return r.status;
}

TransferResult Patcher::FetchToStaged(const std::wstring& relPath, StagedFile& staged, const FileCheck* check,
                                      const std::atomic<bool>& cancel, const PatchCallbacks& callbacks) {
    ProgressFn progress;
    if (callbacks.fileProgress) {
        progress = [&](uint64_t received, uint64_t total) {
            int percent = 0;
            if (total > 0) percent = static_cast<int>(received * 100 / total > 100 ? 100 : received * 100 / total);
            ReportFileProgress(callbacks, percent, relPath);
        };
    }
    const bool checkSize = check && check->size >= 0;
    const int64_t cap = checkSize ? check->size : check ? check->maxSize : -1;
    const bool checkHash = check && !check->sha256.empty();
    const Attempt attempt = [&](const std::wstring& url, AttemptNotes& notes) {
        // A gzip stream cannot resume, so every attempt starts the copy afresh.
        if (!staged.Open(false, notes.writeError)) return HttpStatus::Aborted;
        // The check sees the decoded bytes as they go to disk, so a large file
        // is never read twice.
        StreamingHash hash(checkHash ? check->size : 0, inParallelPass);
        uint64_t decoded = 0;
        bool tooLong = false;
        GzipStream gz([&](const uint8_t* data, uint64_t size) {
            decoded += size;
            // More than listed is wrong already; stop before it fills a disk.
            if (cap >= 0 && decoded > static_cast<uint64_t>(cap)) {
                tooLong = true;
                return false;
            }
            if (checkHash) hash.Update(data, static_cast<size_t>(size));
            if (staged.Append(data, static_cast<size_t>(size), notes.writeError)) return true;
            LogFormat("Patcher: cannot write %ls (err %lu)", staged.Path().c_str(),
                      static_cast<unsigned long>(notes.writeError));
            return false;
        });
        bool pastEnd = false;
        const ChunkFn chunk = [&](const uint8_t* data, uint64_t size) {
            bytesReceived.fetch_add(static_cast<int64_t>(size));
            return gz.Feed(data, size) && !(pastEnd = gz.PastEnd());
        };
        HttpStatus r = http.Get(url, chunk, progress, &cancel, &notes.stalled);
        if (pastEnd) r = EndOfMember(relPath, url);
        if (r == HttpStatus::Ok && !gz.Finish()) r = HttpStatus::Failed;
        if (notes.writeError != 0) {
            staged.Discard();
            return HttpStatus::Aborted;
        }
        if (tooLong && !checkSize) {
            LogFormat("Patcher: %ls from %ls is larger than %lld bytes and the list names no size; refused, "
                      "trying another server",
                      relPath.c_str(), HostOf(url).c_str(), static_cast<long long>(cap));
            notes.refused = true;
        } else if (tooLong || (r == HttpStatus::Ok && checkSize && decoded != static_cast<uint64_t>(check->size))) {
            LogFormat("Patcher: %ls from %ls has %s bytes than the list's %lld; refused, trying another server",
                      relPath.c_str(), HostOf(url).c_str(), tooLong ? "more" : "fewer",
                      static_cast<long long>(check->size));
            notes.refused = true;
        } else if (r == HttpStatus::Ok && checkHash) {
            std::string got = hash.FinishHex();
            if (got.empty()) got = "(no hash)";
            if (got != check->sha256) {
                LogFormat(
                    "Patcher: %ls from %ls does not match the list's SHA-256 (got %s, listed %s); "
                    "refused, trying another server",
                    relPath.c_str(), HostOf(url).c_str(), got.c_str(), check->sha256.c_str());
                notes.refused = true;
            }
        }
        // Unproven bytes never stay where a later pass could take them.
        if (notes.refused || r != HttpStatus::Ok) {
            staged.Discard();
            return notes.refused ? HttpStatus::Aborted : r;
        }
        return r;
    };
    return Fetch(relPath, cancel, callbacks, attempt);
}

HttpStatus Patcher::DownloadToFile(const std::wstring& relPath, const std::wstring& localPath,
                                   const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                                   const FileCheck* check, TransferResult* result, const int64_t* mtime) {
    StagedFile staged(localPath);
    TransferResult r = FetchToStaged(relPath, staged, check, cancel, callbacks);
    if (r.status == HttpStatus::Ok && !staged.Commit(mtime, r.writeError)) {
        staged.Discard();
        r.status = HttpStatus::Aborted;
    }
    if (r.writeError != 0) r.writePath = localPath;
    if (r.status == HttpStatus::Ok) ReportFileProgress(callbacks, 100, relPath);
    lastUrl = r.url;
    if (result) *result = r;
    return r.status;
}

}  // namespace vr

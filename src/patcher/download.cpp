#include <windows.h>

#include "net/gzip_stream.h"
#include "patcher/patcher.h"
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
// Attributes that make CreateFileW(CREATE_ALWAYS) refuse an existing file.
constexpr DWORD kBlockingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The pass-wide figures shown with every file's progress.
struct PassFigures {
    double speed;
    double doneMb;
};

PassFigures Figures(uint64_t runStartTick, int64_t bytesReceived) {
    const double elapsed = static_cast<double>(GetTickCount64() - runStartTick) / 1000.0;
    const double mb = static_cast<double>(bytesReceived) / 1048576.0;
    return {elapsed > 0.001 ? mb / elapsed : 0.0, mb};
}

void Report(const PatchCallbacks& callbacks, const std::string& text) {
    if (callbacks.status) callbacks.status(text);
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

HttpStatus Patcher::Fetch(const std::wstring& relPath, const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                          const OpenTarget& openTarget, const Attempt& attempt, FetchOutcome* outcome) {
    contentRefused = false;
    if (outcome) *outcome = FetchOutcome{};
    if (servers.empty()) return HttpStatus::Failed;
    // The file's own place in the server order: with parallel downloads the
    // shared choice may move on while this file is still on an earlier server.
    size_t server = CurrentServer();
    bool refusedAny = false;
    for (;;) {
        const std::wstring url = BuildUrlOn(server, relPath);
        SetLastUrl(url);
        if (outcome) outcome->url = url;
        HttpStatus remembered = HttpStatus::Failed;
        for (int tries = 0;; ++tries) {
            if (cancel.load()) return HttpStatus::Cancelled;
            if (openTarget && !openTarget()) return HttpStatus::Aborted;
            AttemptNotes notes;
            const HttpStatus r = attempt(url, notes);
            if (r == HttpStatus::Ok || r == HttpStatus::Cancelled) return r;
            // A full disk or a refused write does not mend itself in a retry
            // pause, and another server would not help either.
            if (notes.writeFailed) return HttpStatus::Aborted;
            // This server serves bytes the list does not vouch for; asking it
            // again would get the same, so another server heals the file.
            if (notes.refused) {
                refusedAny = true;
                remembered = HttpStatus::Aborted;
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
            if (!PauseUnlessCancelled(cancel)) return HttpStatus::Cancelled;
        }
        // Servers are tried once each and never wrap around, so one bad file
        // cannot keep a pass cycling forever.
        if (server + 1 >= servers.size()) {
            // Tampering anywhere outweighs a plain miss elsewhere: the player
            // and the operator must hear that a server served wrong bytes.
            contentRefused = refusedAny;
            if (outcome) outcome->refused = refusedAny;
            return refusedAny ? HttpStatus::Aborted : remembered;
        }
        ++server;
        // Files in flight that fail on the server another file already left
        // follow it without announcing the same switch again.
        if (AdvanceServer(server)) {
            Report(callbacks, "Switching to server: " + WideToUtf8(HostOf(servers[server])));
        }
    }
}

HttpStatus Patcher::DownloadToString(const std::wstring& relPath, std::string& out, const std::atomic<bool>& cancel,
                                     const PatchCallbacks& callbacks,
                                     const std::function<bool(const std::string&)>& accept) {
    const Attempt attempt = [&](const std::wstring& url, AttemptNotes& notes) {
        out.clear();
        GzipStream gz([&out, &relPath](const uint8_t* data, uint64_t size) {
            if (out.size() + size > kMaxListBytes) {
                LogFormat("Patcher: %ls is larger than %llu MiB once inflated; refused", relPath.c_str(),
                          static_cast<unsigned long long>(kMaxListBytes >> 20));
                return false;
            }
            out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
            return true;
        });
        const HttpStatus r = http.Get(
            url, [&gz](const uint8_t* data, uint64_t size) { return gz.Feed(data, size); }, nullptr, &cancel);
        if (r == HttpStatus::Ok && !gz.Finish()) return HttpStatus::Failed;
        if (r == HttpStatus::Ok && accept && !accept(out)) {
            out.clear();
            notes.refused = true;
            return HttpStatus::Aborted;
        }
        return r;
    };
    return Fetch(relPath, cancel, callbacks, nullptr, attempt);
}

HttpStatus Patcher::DownloadToFile(const std::wstring& relPath, const std::wstring& localPath,
                                   const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                                   const FileCheck* check, FetchOutcome* outcome) {
    KernelHandle file;
    const auto recordWriteFailure = [&](DWORD error) { RecordWriteFailure(localPath, error); };
    const OpenTarget reopen = [&] {
        file.Reset();
        // The list says to replace this file, so marks that would make
        // Windows refuse the replacement go first.
        const DWORD attributes = GetFileAttributesW(localPath.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            (attributes & kBlockingAttributes)) {
            const DWORD kept = attributes & ~kBlockingAttributes;
            if (SetFileAttributesW(localPath.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL)) {
                LogFormat("Patcher: cleared read-only, hidden and system attributes of %ls", localPath.c_str());
            }
        }
        file.Reset(CreateFileW(localPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) return true;
        const DWORD error = GetLastError();
        LogFormat("Patcher: cannot open %ls for writing (err %lu)", localPath.c_str(), error);
        recordWriteFailure(error);
        return false;
    };
    ProgressFn progress;
    if (callbacks.fileProgress) {
        progress = [&](uint64_t received, uint64_t total) {
            int percent = 0;
            if (total > 0) percent = static_cast<int>(received * 100 / total > 100 ? 100 : received * 100 / total);
            const PassFigures f = Figures(runStartTick, bytesReceived.load());
            callbacks.fileProgress(percent, f.speed, f.doneMb, relPath);
        };
    }
    const Attempt attempt = [&](const std::wstring& url, AttemptNotes& notes) {
        bool& writeFailed = notes.writeFailed;
        // The check sees the decoded bytes as they go to disk, so a large file
        // is never read twice.
        const bool checkSize = check && check->size >= 0;
        const bool checkHash = check && !check->sha256.empty();
        StreamingHash hash(checkHash ? check->size : 0, inParallelPass);
        uint64_t decoded = 0;
        bool tooLong = false;
        GzipStream gz([&](const uint8_t* data, uint64_t size) {
            decoded += size;
            // More than listed is wrong already; stop before it fills a disk.
            if (checkSize && decoded > static_cast<uint64_t>(check->size)) {
                tooLong = true;
                return false;
            }
            if (checkHash) hash.Update(data, static_cast<size_t>(size));
            DWORD written = 0;
            const BOOL ok = WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr);
            if (!ok || written != size) {
                // A short write without an error is a full disk too.
                const DWORD error = !ok ? GetLastError() : static_cast<DWORD>(ERROR_DISK_FULL);
                if (!writeFailed) LogFormat("Patcher: cannot write %ls (err %lu)", localPath.c_str(), error);
                recordWriteFailure(error);
                writeFailed = true;
                return false;
            }
            return true;
        });
        const ChunkFn chunk = [&](const uint8_t* data, uint64_t size) {
            bytesReceived.fetch_add(static_cast<int64_t>(size));
            return gz.Feed(data, size);
        };
        HttpStatus r = http.Get(url, chunk, progress, &cancel);
        if (r == HttpStatus::Ok && !gz.Finish()) r = HttpStatus::Failed;
        // Closed before any retry pause or return; a partial file stays for
        // the pass to delete on final failure.
        file.Reset();
        if (tooLong || (r == HttpStatus::Ok && checkSize && decoded != static_cast<uint64_t>(check->size))) {
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
        if (notes.refused) {
            // Never left where it could be taken for the real file.
            static_cast<void>(DeleteFileW(localPath.c_str()));
            return HttpStatus::Aborted;
        }
        if (r == HttpStatus::Ok && callbacks.fileProgress) {
            const PassFigures f = Figures(runStartTick, bytesReceived.load());
            callbacks.fileProgress(100, f.speed, f.doneMb, relPath);
        }
        return r;
    };
    return Fetch(relPath, cancel, callbacks, reopen, attempt, outcome);
}

}  // namespace vr

#include <windows.h>

#include "net/gzip_stream.h"
#include "patcher/patcher.h"
#include "platform/handles.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

// Attempts on one server: the first plus five retries.
constexpr int kMaxRetries = 5;
constexpr int kPauseSlices = 20;

// The pass-wide figures shown with every file's progress.
struct PassFigures {
    double speed;
    double doneMb;
};

PassFigures Figures(const Patcher& p) {
    const double elapsed = static_cast<double>(GetTickCount64() - p.runStartTick) / 1000.0;
    const double mb = static_cast<double>(p.bytesReceived) / 1048576.0;
    return {elapsed > 0.001 ? mb / elapsed : 0.0, mb};
}

// The 2 s pause between attempts, cut into slices so a cancel is seen quickly.
bool PauseUnlessCancelled(const Patcher& p, const std::atomic<bool>& cancel) {
    for (int i = 0; i < kPauseSlices; ++i) {
        if (cancel.load()) return false;
        Sleep(p.retryPauseSliceMs);
    }
    return true;
}

void Report(const PatchCallbacks& callbacks, const std::string& text) {
    if (callbacks.status) callbacks.status(text);
}

// One transfer attempt into the caller's target. Returns the transfer's result
// with a clean end of the gzip stream folded into Ok; `writeFailed` tells a
// local write fault apart from a network or decompression fault.
using Attempt = std::function<HttpStatus(const std::wstring& url, bool& writeFailed)>;
// Prepares the target before an attempt; false ends the download with Aborted.
using Prepare = std::function<bool()>;

// The server and retry loop shared by both downloads.
HttpStatus Fetch(Patcher& p, const std::wstring& relPath, const std::atomic<bool>& cancel,
                 const PatchCallbacks& callbacks, const Prepare& prepare, const Attempt& attempt) {
    if (p.servers.empty()) return HttpStatus::Failed;
    for (;;) {
        const std::wstring url = p.BuildUrl(relPath);
        p.lastUrl = url;
        HttpStatus remembered = HttpStatus::Failed;
        for (int tries = 0;; ++tries) {
            if (cancel.load()) return HttpStatus::Cancelled;
            if (prepare && !prepare()) return HttpStatus::Aborted;
            bool writeFailed = false;
            const HttpStatus r = attempt(url, writeFailed);
            if (r == HttpStatus::Ok || r == HttpStatus::Cancelled) return r;
            if (r == HttpStatus::NotFound) {
                remembered = HttpStatus::NotFound;
                break;
            }
            if (tries >= kMaxRetries) {
                if (writeFailed) return HttpStatus::Aborted;
                remembered = HttpStatus::Failed;
                break;
            }
            Report(callbacks, "Network Error! Retrying...");
            if (!PauseUnlessCancelled(p, cancel)) return HttpStatus::Cancelled;
        }
        // Servers are tried once each and never wrap around, so one bad file
        // cannot keep a pass cycling forever.
        if (p.currentServer + 1 >= p.servers.size()) return remembered;
        ++p.currentServer;
        Report(callbacks, "Switching to server: " + WideToUtf8(HostOf(p.servers[p.currentServer])));
    }
}

}  // namespace

HttpStatus Patcher::DownloadToString(const std::wstring& relPath, std::string& out, const std::atomic<bool>& cancel,
                                     const PatchCallbacks& callbacks) {
    const Attempt attempt = [&](const std::wstring& url, bool&) {
        out.clear();
        GzipStream gz([&out](const uint8_t* data, uint64_t size) {
            out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
            return true;
        });
        const HttpStatus r =
            http.Get(url, [&gz](const uint8_t* data, uint64_t size) { return gz.Feed(data, size); }, nullptr, &cancel);
        if (r == HttpStatus::Ok && !gz.Finish()) return HttpStatus::Failed;
        return r;
    };
    return Fetch(*this, relPath, cancel, callbacks, nullptr, attempt);
}

HttpStatus Patcher::DownloadToFile(const std::wstring& relPath, const std::wstring& localPath,
                                   const std::atomic<bool>& cancel, const PatchCallbacks& callbacks) {
    KernelHandle file;
    const Prepare prepare = [&] {
        file.Reset(CreateFileW(localPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) return true;
        LogFormat("Patcher: cannot open %ls for writing (err %lu)", localPath.c_str(), GetLastError());
        return false;
    };
    ProgressFn progress;
    if (callbacks.fileProgress) {
        progress = [&](uint64_t received, uint64_t total) {
            int percent = 0;
            if (total > 0) percent = static_cast<int>(received * 100 / total > 100 ? 100 : received * 100 / total);
            const PassFigures f = Figures(*this);
            callbacks.fileProgress(percent, f.speed, f.doneMb, relPath);
        };
    }
    const Attempt attempt = [&](const std::wstring& url, bool& writeFailed) {
        GzipStream gz([&](const uint8_t* data, uint64_t size) {
            DWORD written = 0;
            if (!WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
                writeFailed = true;
                return false;
            }
            return true;
        });
        const ChunkFn chunk = [&](const uint8_t* data, uint64_t size) {
            bytesReceived += static_cast<int64_t>(size);
            return gz.Feed(data, size);
        };
        HttpStatus r = http.Get(url, chunk, progress, &cancel);
        if (r == HttpStatus::Ok && !gz.Finish()) r = HttpStatus::Failed;
        // Closed before any retry pause or return; a partial file stays for
        // the pass to delete on final failure.
        file.Reset();
        if (r == HttpStatus::Ok && callbacks.fileProgress) {
            const PassFigures f = Figures(*this);
            callbacks.fileProgress(100, f.speed, f.doneMb, relPath);
        }
        return r;
    };
    return Fetch(*this, relPath, cancel, callbacks, prepare, attempt);
}

}  // namespace vr

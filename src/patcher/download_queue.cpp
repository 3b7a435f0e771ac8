// The stale files of a pass downloaded over several connections at once.
// Transfers finish in any order; what the caller sees stays in list order:
// progress of the first unfinished file only, and each file's closing report
// when its turn comes. The first final failure stops the rest.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "patcher/pass_steps.h"
#include "patcher/patch_list.h"
#include "patcher/patcher.h"

namespace vr {
namespace {

// The player's cancel flag is copied to the transfers this often; with the
// transfers' own check between reads this keeps today's cancel bound.
constexpr std::chrono::milliseconds kCancelPoll(20);

struct FileSlot {
    bool started = false;
    bool finished = false;
    HttpStatus result = HttpStatus::Ok;
    int percent = 0;  // latest progress of its transfer
    bool percentFresh = false;
    std::wstring url;      // its last request, for the error report
    bool refused = false;  // its bytes differed from the list on every server
};

// What the transfer threads and the pass share, all under `lock`.
struct Queue {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<FileSlot> slots;
    std::deque<std::string> statusTexts;  // retries and switches, in the order they happened
    size_t nextToStart = 0;
    int failed = -1;  // the first file whose download finally failed

    bool Done(size_t i) const { return slots[i].finished && slots[i].result == HttpStatus::Ok; }
};

}  // namespace

PatchResult Patcher::DownloadInParallel(const std::vector<PendingFile>& queue, int connections,
                                        const std::atomic<bool>& cancel, const PatchCallbacks& callbacks) {
    const size_t total = queue.size();
    Queue q;
    q.slots.resize(total);
    // Set on the player's cancel and on a final failure; the transfers watch
    // only this one.
    std::atomic<bool> stop{false};

    const auto transfer = [&] {
        for (;;) {
            size_t i = 0;
            {
                std::lock_guard<std::mutex> guard(q.lock);
                if (stop.load() || q.nextToStart >= total) return;
                i = q.nextToStart++;
                q.slots[i].started = true;
            }
            const PendingFile& file = queue[i];
            const std::wstring fullPath = baseDir + file.relPath;
            pass::MakeParentFolder(fullPath);
            PatchCallbacks inner;
            inner.status = [&q](const std::string& text) {
                std::lock_guard<std::mutex> guard(q.lock);
                q.statusTexts.push_back(text);
                q.changed.notify_all();
            };
            if (callbacks.fileProgress) {
                inner.fileProgress = [&q, i](int percent, double, double, const std::wstring&) {
                    std::lock_guard<std::mutex> guard(q.lock);
                    q.slots[i].percent = percent;
                    q.slots[i].percentFresh = true;
                    q.changed.notify_all();
                };
            }
            FileCheck check;
            check.size = file.size;
            check.sha256 = file.sha256;
            FetchOutcome outcome;
            const HttpStatus r = DownloadToFile(file.relPath, fullPath, stop, inner, &check, &outcome);
            // This transfer's own outcome: the shared members belong to
            // whichever file touched them last.
            const bool refused = r == HttpStatus::Aborted && outcome.refused;
            // Stamped at once: a file that completed stays current even when
            // another file fails the pass before this one's turn comes.
            if (r == HttpStatus::Ok) pass::StampFile(fullPath, file.mtime);
            std::lock_guard<std::mutex> guard(q.lock);
            FileSlot& slot = q.slots[i];
            slot.finished = true;
            slot.result = r;
            slot.url = outcome.url;
            slot.refused = refused;
            if (r != HttpStatus::Ok && r != HttpStatus::Cancelled && q.failed < 0) {
                q.failed = static_cast<int>(i);
                stop = true;
            }
            q.changed.notify_all();
        }
    };

    // Cleared however the transfers end; they are joined before this goes.
    struct ParallelMark {
        bool& flag;
        explicit ParallelMark(bool& f) : flag(f) { flag = true; }
        ~ParallelMark() { flag = false; }
    } mark(inParallelPass);
    std::vector<std::thread> threads;
    for (int n = 0; n < connections; ++n) {
        try {
            threads.emplace_back(transfer);
        } catch (const std::system_error&) {
            LogFormat("Patcher: only %d of %d download threads could start", n, connections);
            break;
        }
    }
    if (threads.empty()) {
        inParallelPass = false;
        return DownloadInOrder(queue, cancel, callbacks);
    }

    size_t head = 0;  // the first file whose closing report is still due
    int done = 0;
    bool cancelled = false;
    // Hands the caller everything that is due, in list order, with the lock
    // released so the transfers never wait on the caller.
    const auto deliver = [&](std::unique_lock<std::mutex>& guard) {
        std::deque<std::string> texts;
        texts.swap(q.statusTexts);
        int percent = -1;
        FileSlot& current = q.slots[head];
        // The transfer's own 100 comes just before it finishes; the closing
        // report below gives it once.
        if (current.percentFresh && !current.finished && current.percent < 100) percent = current.percent;
        current.percentFresh = false;
        size_t completed = head;
        while (completed < total && q.Done(completed)) ++completed;
        guard.unlock();
        for (const std::string& text : texts) {
            if (callbacks.status) callbacks.status(text);
        }
        if (percent >= 0) ReportFileProgress(callbacks, percent, queue[head].relPath);
        for (; head < completed; ++head) {
            ReportFileProgress(callbacks, 100, queue[head].relPath);
            ++done;
            if (callbacks.filesDone) callbacks.filesDone(done, static_cast<int>(total));
        }
        guard.lock();
    };

    {
        std::unique_lock<std::mutex> guard(q.lock);
        while (head < total && q.failed < 0) {
            q.changed.wait_for(guard, kCancelPoll, [&] {
                return !q.statusTexts.empty() || q.failed >= 0 || q.slots[head].percentFresh || q.slots[head].finished;
            });
            if (cancel.load()) {
                cancelled = true;
                break;
            }
            deliver(guard);
        }
        stop = true;
    }
    for (std::thread& t : threads) t.join();

    std::unique_lock<std::mutex> guard(q.lock);
    // Files ahead of the failing one that completed while it failed still
    // get their reports, as they would have one at a time.
    if (!cancelled && head < total) deliver(guard);
    for (size_t i = 0; i < total; ++i) {
        // Targets were truncated when their transfer began, so no partial
        // copy may stay behind; completed files are stamped and stay.
        if (q.slots[i].started && !q.Done(i)) static_cast<void>(DeleteFileW((baseDir + queue[i].relPath).c_str()));
    }
    if (cancelled) return PatchResult::PatchCancelled;
    if (q.failed < 0) return PatchResult::Finished;
    const FileSlot& failed = q.slots[static_cast<size_t>(q.failed)];
    SetLastUrl(failed.url);
    if (failed.refused) return PatchResult::FileMismatch;
    return pass::ResultOf(*this, failed.result);
}

}  // namespace vr

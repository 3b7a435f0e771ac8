#include "patcher/parallel_pass.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "net/sha256.h"
#include "patcher/chunk_index.h"
#include "patcher/chunk_plan.h"
#include "patcher/pass_steps.h"
#include "patcher/staged_file.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

// The player's cancel flag is copied to the transfers this often; with the
// transfers' own check between reads this keeps today's cancel bound.
constexpr std::chrono::milliseconds kCancelPoll(20);
// Below this a file is written before a free-space check could matter.
constexpr uint64_t kSpaceCheckBytes = 1u << 20;
// Staged files waiting for the committer, each with an open handle.
constexpr size_t kMaxCommitsWaiting = 32;
// An index is a line per chunk; anything near this is not one of ours.
constexpr uint64_t kMaxIndexBytes = 16u << 20;

}  // namespace

ParallelPass::ParallelPass(Patcher& patcher, const std::vector<PendingFile>& files,
                           const std::map<std::string, std::string>& indexes, int count,
                           const std::atomic<bool>& cancelFlag, const PatchCallbacks& reports)
    : p(patcher),
      queue(files),
      chunkIndexes(indexes),
      connections(std::max(count, 1)),
      cancel(cancelFlag),
      callbacks(reports) {
    for (size_t i = 0; i < queue.size(); ++i) {
        slots.push_back(std::make_unique<Slot>());
        tasks.emplace(i, 0);
        toDownload += queue[i].size;
    }
}

ParallelPass::~ParallelPass() = default;

std::wstring ParallelPass::FullPath(size_t i) const { return p.baseDir + queue[i].relPath; }

PatchCallbacks ParallelPass::InnerCallbacks(size_t i, bool whole) {
    PatchCallbacks inner;
    inner.status = [this](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        statusTexts.push_back(text);
        changed.notify_all();
    };
    if (callbacks.fileProgress) {
        inner.fileProgress = [this, i, whole](int percent, double, double, const std::wstring&) {
            std::lock_guard<std::mutex> guard(lock);
            if (whole) {
                // A retry from the start takes its bytes back.
                const int64_t now = queue[i].size * percent / 100;
                downloaded += now - slots[i]->wholeCounted;
                slots[i]->wholeCounted = now;
            }
            slots[i]->percent = percent;
            slots[i]->percentFresh = true;
            changed.notify_all();
        };
    }
    return inner;
}

void ParallelPass::Finish(size_t i, const TransferResult& r) {
    std::lock_guard<std::mutex> guard(lock);
    Slot& slot = *slots[i];
    if (slot.finished) return;
    slot.finished = true;
    slot.result = r;
    if (r.status != HttpStatus::Ok && r.status != HttpStatus::Cancelled && failed < 0) {
        failed = static_cast<int>(i);
        stop = true;
        workReady.notify_all();
    }
    changed.notify_all();
}

bool ParallelPass::EnoughSpace(size_t i, uint64_t need, TransferResult& r) {
    if (need < kSpaceCheckBytes || !p.seams.freeDiskBytes) return true;
    const std::wstring full = FullPath(i);
    const std::wstring folder = full.substr(0, full.rfind(L'\\') + 1);
    const int64_t free = p.seams.freeDiskBytes(folder);
    if (free < 0 || static_cast<uint64_t>(free) >= need) return true;
    LogFormat("Patcher: not enough disk space on %ls for %ls: %.1f MiB needed, %.1f MiB free",
              VolumeOf(folder).c_str(), queue[i].relPath.c_str(), static_cast<double>(need) / kBytesPerMiB,
              static_cast<double>(free) / kBytesPerMiB);
    r.status = HttpStatus::Aborted;
    r.writeError = ERROR_DISK_FULL;
    r.writePath = full;
    r.neededBytes = need;
    return false;
}

void ParallelPass::WorkerMain() {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> guard(lock);
            workReady.wait(guard, [&] { return stop.load() || !tasks.empty() || preparing == 0; });
            if (stop.load() || tasks.empty()) return;
            task = *tasks.begin();
            tasks.erase(tasks.begin());
            if (task.second == 0) ++preparing;
        }
        if (task.second == 0) {
            FileStep(task.first);
        } else {
            UnitStep(task.first, task.second);
        }
        std::lock_guard<std::mutex> guard(lock);
        if (task.second == 0) --preparing;
        workReady.notify_all();
    }
}

void ParallelPass::FileStep(size_t i) {
    pass::MakeParentFolder(FullPath(i));
    // A folder where the file must go fails at once, not after a download.
    const DWORD attributes = GetFileAttributesW(FullPath(i).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        LogFormat("Patcher: cannot replace %ls: a folder of that name is in the way", FullPath(i).c_str());
        TransferResult r;
        r.status = HttpStatus::Aborted;
        r.writeError = ERROR_ACCESS_DENIED;
        r.writePath = FullPath(i);
        return Finish(i, r);
    }
    const auto it = queue[i].sha256.empty() ? chunkIndexes.end() : chunkIndexes.find(queue[i].sha256);
    if (it != chunkIndexes.end() && TryChunked(i, it->second)) return;
    WholeFile(i);
}

void ParallelPass::WholeFile(size_t i) {
    const PendingFile& file = queue[i];
    TransferResult r;
    if (!EnoughSpace(i, static_cast<uint64_t>(file.size), r)) return Finish(i, r);
    FileCheck check;
    check.size = file.size;
    check.sha256 = file.sha256;
    auto staged = std::make_unique<StagedFile>(FullPath(i));
    r = p.FetchToStaged(file.relPath, *staged, &check, stop, InnerCallbacks(i, true));
    if (r.status == HttpStatus::Ok) return QueueCommit(i, std::move(staged));
    if (r.writeError != 0) r.writePath = FullPath(i);
    Finish(i, r);
}

void ParallelPass::CommitWhole(size_t i, StagedFile& staged) {
    TransferResult r;
    if (!staged.Commit(&queue[i].mtime, r.writeError)) {
        staged.Discard();
        r.status = HttpStatus::Aborted;
        r.writePath = FullPath(i);
    } else {
        std::lock_guard<std::mutex> guard(lock);
        downloaded += queue[i].size - slots[i]->wholeCounted;
        slots[i]->wholeCounted = queue[i].size;
    }
    Finish(i, r);
}

void ParallelPass::QueueCommit(size_t i, std::unique_ptr<StagedFile> staged) {
    committer->Push({i, std::move(staged)});
}

bool ParallelPass::FetchIndex(size_t i, const std::string& indexSha, TransferResult& r) {
    Slot& slot = *slots[i];
    std::string text;
    std::string why;
    const auto accept = [&](const std::string& t, const std::wstring&) {
        if (Sha256Hex(t.data(), t.size()) != indexSha) {
            why = "its SHA-256 differs from the list's";
        } else if (ParseChunkIndex(t, slot.index, why) &&
                   slot.index.fileSize != static_cast<uint64_t>(queue[i].size)) {
            why = "it describes a file of another size";
        } else if (why.empty()) {
            return true;
        }
        LogFormat("Patcher: refused the chunk index of %ls: %s", queue[i].relPath.c_str(), why.c_str());
        return false;
    };
    r = p.FetchToMemory(Utf8ToWide(IndexObjectPath(indexSha)), text, kMaxIndexBytes, stop, InnerCallbacks(i),
                        accept);
    return r.status == HttpStatus::Ok;
}

// False when the file should be fetched whole instead (no usable index).
bool ParallelPass::TryChunked(size_t i, const std::string& indexSha) {
    const PendingFile& file = queue[i];
    TransferResult r;
    if (!FetchIndex(i, indexSha, r)) {
        if (r.status == HttpStatus::Cancelled) {
            Finish(i, r);
            return true;
        }
        LogFormat("Patcher: no usable chunk index for %ls; fetching it whole", file.relPath.c_str());
        return false;
    }
    Slot& slot = *slots[i];
    slot.staged = std::make_unique<StagedFile>(FullPath(i));
    const int64_t before = slot.staged->ExistingSize();
    const uint64_t size = static_cast<uint64_t>(file.size);
    if (!EnoughSpace(i, before > 0 && static_cast<uint64_t>(before) < size ? size - before : size, r)) {
        Finish(i, r);
        return true;
    }
    if (!slot.staged->Open(true, r.writeError) || !slot.staged->SetLength(size, r.writeError) ||
        !PlanChunkedFile(slot.index, *slot.staged, FullPath(i), before, stop, slot.plan, r.writeError)) {
        r.status = r.writeError != 0 ? HttpStatus::Aborted : HttpStatus::Cancelled;
        if (r.writeError != 0) r.writePath = FullPath(i);
        slot.staged->Close();
        Finish(i, r);
        return true;
    }
    const ChunkPlan& plan = slot.plan;
    LogFormat("Patcher: %ls: %zu chunks, %llu bytes already staged, %llu found in the old copy, %llu to download "
              "(%zu chunks); local work %llu ms on the staged copy, %llu ms on the old copy",
              file.relPath.c_str(), slot.index.chunks.size(), static_cast<unsigned long long>(plan.keptBytes),
              static_cast<unsigned long long>(plan.copiedBytes), static_cast<unsigned long long>(plan.missingBytes),
              plan.missing.size(), static_cast<unsigned long long>(plan.msStaged),
              static_cast<unsigned long long>(plan.msScanOld));
    const uint64_t wire = PlanUnits(i);
    toDownload -= static_cast<int64_t>(size - wire);
    reused += static_cast<int64_t>(plan.keptBytes + plan.copiedBytes);
    {
        std::lock_guard<std::mutex> guard(lock);
        slot.bytesInPlace = plan.keptBytes + plan.copiedBytes;
        slot.unitsLeft = slot.units.size();
        for (size_t k = 1; k <= slot.units.size(); ++k) tasks.emplace(i, k);
        workReady.notify_all();
        changed.notify_all();
    }
    if (slot.units.empty()) CommitStaged(i);
    return true;
}

void ParallelPass::CommitStaged(size_t i) {
    Slot& slot = *slots[i];
    TransferResult r;
    if (!slot.staged->Commit(&queue[i].mtime, r.writeError)) {
        // Proven bytes stay staged: the next pass replaces the file without
        // downloading them again.
        r.status = HttpStatus::Aborted;
        r.writePath = FullPath(i);
    } else {
        LogFormat("Patcher: %ls updated: %llu bytes reused, %llu bytes downloaded", queue[i].relPath.c_str(),
                  static_cast<unsigned long long>(slot.plan.keptBytes + slot.plan.copiedBytes),
                  static_cast<unsigned long long>(slot.bytesInPlace - slot.plan.keptBytes - slot.plan.copiedBytes));
    }
    Finish(i, r);
}

// Hands the caller everything that is due, in list order, with the lock
// released so the transfers never wait on the caller.
void ParallelPass::Deliver(std::unique_lock<std::mutex>& guard) {
    const size_t total = queue.size();
    std::deque<std::string> texts;
    texts.swap(statusTexts);
    int percent = -1;
    Slot& current = *slots[head];
    // The transfer's own 100 comes just before it finishes; the closing
    // report below gives it once.
    if (current.percentFresh && !current.finished && current.percent < 100) percent = current.percent;
    current.percentFresh = false;
    size_t completed = head;
    while (completed < total && slots[completed]->Done()) ++completed;
    guard.unlock();
    for (const std::string& text : texts) {
        if (callbacks.status) callbacks.status(text);
    }
    const int64_t figures[3] = {toDownload.load(), downloaded.load(), reused.load()};
    if (callbacks.transfer && !std::equal(figures, figures + 3, lastFigures)) {
        std::copy(figures, figures + 3, lastFigures);
        callbacks.transfer(figures[0], figures[1], figures[2]);
    }
    if (percent >= 0) p.ReportFileProgress(callbacks, percent, queue[head].relPath);
    for (; head < completed; ++head) {
        p.ReportFileProgress(callbacks, 100, queue[head].relPath);
        ++done;
        if (callbacks.filesDone) callbacks.filesDone(done, static_cast<int>(total));
    }
    guard.lock();
}

void ParallelPass::WaitAndDeliver(bool& cancelled) {
    std::unique_lock<std::mutex> guard(lock);
    while (head < queue.size() && failed < 0) {
        changed.wait_for(guard, kCancelPoll, [&] {
            return !statusTexts.empty() || failed >= 0 || slots[head]->percentFresh || slots[head]->finished;
        });
        if (cancel.load()) {
            cancelled = true;
            break;
        }
        Deliver(guard);
    }
    stop = true;
    workReady.notify_all();
}

PatchResult ParallelPass::Run() {
    if (queue.empty()) return PatchResult::Finished;
    // Proven files are moved into place even when the pass stops meanwhile:
    // they are complete, and the next pass then need not fetch them again.
    committer = std::make_unique<HandOff<Commit>>(
        kMaxCommitsWaiting, [this](Commit& c) { CommitWhole(c.first, *c.second); });
    std::vector<std::thread> threads;
    // As many as connections even for one file: its chunks spread over them.
    for (int n = 0; n < connections; ++n) {
        try {
            threads.emplace_back([this] { WorkerMain(); });
        } catch (const std::system_error&) {
            LogFormat("Patcher: only %d of %d download threads could start", n, connections);
            break;
        }
    }
    if (threads.empty()) WorkerMain();  // reports then come at the end
    bool cancelled = false;
    WaitAndDeliver(cancelled);
    for (std::thread& t : threads) t.join();
    committer->Close();

    std::unique_lock<std::mutex> guard(lock);
    // Files ahead of the failing one that completed while it failed still
    // get their reports, as they would have one at a time.
    if (!cancelled && head < queue.size()) Deliver(guard);
    if (cancelled) return PatchResult::PatchCancelled;
    if (failed < 0) {
        // Every file finished, or the cancel came as the last one did.
        for (const auto& slot : slots) {
            if (!slot->Done()) return PatchResult::PatchCancelled;
        }
        return PatchResult::Finished;
    }
    return p.Conclude(slots[static_cast<size_t>(failed)]->result);
}

}  // namespace vr

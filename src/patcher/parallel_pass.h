#pragma once
// The downloads of one pass over `connections` transfers at once (one is
// fine too). Work comes in list order: each stale file, and for a file
// published in chunks, each of its chunks that no local copy had, so a single
// large file keeps every connection busy. Transfers finish in any order; what
// the caller sees stays in list order: progress of the first unfinished file
// only, and each file's closing report when its turn comes. The first final
// failure stops the rest; chunks already proven stay staged for the next pass.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "patcher/chunk_index.h"
#include "patcher/chunk_plan.h"
#include "patcher/hand_off.h"
#include "patcher/patch_list.h"
#include "patcher/patcher.h"
#include "patcher/staged_file.h"

namespace vr {

class ParallelPass {
public:
    // chunkIndexes: the list's "#chunks" lines, file SHA-256 -> index SHA-256.
    ParallelPass(Patcher& patcher, const std::vector<PendingFile>& queue,
                 const std::map<std::string, std::string>& chunkIndexes, int connections,
                 const std::atomic<bool>& cancel, const PatchCallbacks& callbacks);
    ~ParallelPass();
    ParallelPass(const ParallelPass&) = delete;
    ParallelPass& operator=(const ParallelPass&) = delete;

    PatchResult Run();

private:
    // Missing chunks fetched by one request: consecutive chunks as one range
    // of the whole-file object, or one chunk object (all its places).
    struct Unit {
        std::vector<size_t> entries;  // index entries, in file order
        bool ranged = false;
    };
    struct Slot {
        bool finished = false;
        TransferResult result;
        int percent = 0;  // latest progress of its transfer
        bool percentFresh = false;
        // A file updated in chunks; index, plan and units are written before
        // its chunk tasks are queued and only read afterwards.
        std::unique_ptr<StagedFile> staged;
        ChunkIndex index;
        ChunkPlan plan;
        std::vector<Unit> units;
        size_t unitsLeft = 0;
        uint64_t bytesInPlace = 0;  // kept, copied and downloaded so far
        int64_t wholeCounted = 0;   // a whole file's bytes counted as downloaded so far

        bool Done() const { return finished && result.status == HttpStatus::Ok; }
    };
    // (file, step): step 0 is the file itself, step k > 0 its k-th unit.
    using Task = std::pair<size_t, size_t>;

    void WorkerMain();
    void FileStep(size_t i);
    bool TryChunked(size_t i, const std::string& indexSha);
    bool FetchIndex(size_t i, const std::string& indexSha, TransferResult& r);
    void WholeFile(size_t i);
    // chunk_fetch.cpp: the missing chunks of a file, fetched and placed.
    // Splits the missing chunks into units; returns the file's bytes they
    // fetch (a chunk object once for all its places, a range every place).
    uint64_t PlanUnits(size_t i);
    void UnitStep(size_t i, size_t k);
    TransferResult FetchRange(size_t i, const Unit& unit, std::vector<char>& placed);
    TransferResult FetchChunkObject(size_t i, const std::vector<size_t>& entries);
    bool PlaceChunk(size_t i, size_t entry, const uint8_t* data, TransferResult& r);
    void CommitStaged(size_t i);
    // Whole files are flushed and moved into place on a thread of their own,
    // so the wait for the disk overlaps the next downloads.
    void QueueCommit(size_t i, std::unique_ptr<StagedFile> staged);
    void CommitWhole(size_t i, StagedFile& staged);
    bool EnoughSpace(size_t i, uint64_t need, TransferResult& r);
    void Finish(size_t i, const TransferResult& r);
    void WaitAndDeliver(bool& cancelled);
    void Deliver(std::unique_lock<std::mutex>& guard);
    // whole: the transfer is file i itself, so its progress counts as
    // downloaded bytes while it runs (chunks count as they are placed).
    PatchCallbacks InnerCallbacks(size_t i, bool whole = false);
    std::wstring FullPath(size_t i) const;

    Patcher& p;
    const std::vector<PendingFile>& queue;
    const std::map<std::string, std::string>& chunkIndexes;
    const int connections;
    const std::atomic<bool>& cancel;
    const PatchCallbacks& callbacks;
    // Set on the player's cancel and on a final failure; the transfers
    // watch only this one.
    std::atomic<bool> stop{false};
    // The byte figures of the pass (decoded bytes): to download, downloaded,
    // taken from local copies.
    std::atomic<int64_t> toDownload{0}, downloaded{0}, reused{0};

    std::mutex lock;                    // guards everything below
    std::condition_variable changed;    // something for the caller to report
    std::condition_variable workReady;  // a task was queued, or the pass ends
    std::vector<std::unique_ptr<Slot>> slots;
    std::set<Task> tasks;
    int preparing = 0;                    // file steps running, which may queue chunks
    std::deque<std::string> statusTexts;  // retries and switches, in the order they happened
    int failed = -1;                      // the first file whose download finally failed
    size_t head = 0;                      // the first file whose closing report is still due
    int done = 0;
    int64_t lastFigures[3] = {-1, -1, -1};

    using Commit = std::pair<size_t, std::unique_ptr<StagedFile>>;  // file, its proven staged copy
    std::unique_ptr<HandOff<Commit>> committer;  // while Run runs
};

}  // namespace vr

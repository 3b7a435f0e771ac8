#include "patcher/chunk_plan.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "net/sha256.h"
#include "patcher/hand_off.h"
#include "patcher/staged_file.h"
#include "platform/handles.h"
#include "platform/log.h"

namespace vr {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t MsSince(Clock::time_point start) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Runs work(i, buffer) for every i below n on this thread and one helper
// (hashing is what costs here, and a player's machine has cores to spare
// while the network waits). Stops early when work returns false.
void ForEachChunk(size_t n, size_t bufferSize, const std::function<bool(size_t, uint8_t*)>& work) {
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    const auto loop = [&] {
        const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(bufferSize);
        for (size_t i; !stop.load() && (i = next.fetch_add(1)) < n;) {
            if (!work(i, buffer.get())) stop = true;
        }
    };
    std::thread helper;
    if (n > 1) {
        try {
            helper = std::thread(loop);
        } catch (const std::system_error&) {
        }
    }
    loop();
    if (helper.joinable()) helper.join();
}

// Proves the chunks the scan found in the old copy and writes them into the
// staged copy, on a thread of its own so that hashing and writing overlap
// the scan. Writes to neighbouring places are joined into large ones.
class ChunkWriter {
public:
    ChunkWriter(const ChunkIndex& index, StagedFile& staged, std::vector<char>& have)
        : index(index), staged(staged), have(have), writer(kMaxQueued, [this](Batch& batch) { Write(batch); }) {}
    ~ChunkWriter() { Finish(); }
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;

    void Add(size_t entry, const uint8_t* data, size_t size) {
        current.items.push_back({entry, current.bytes.size()});
        current.bytes.insert(current.bytes.end(), data, data + size);
        if (current.bytes.size() >= kBatchBytes) Hand();
    }
    // False with the error when a write failed.
    bool Finish() {
        Hand();
        writer.Close();
        Flush();
        return error == 0;
    }
    uint32_t error = 0;

private:
    static constexpr size_t kBatchBytes = 8u << 20;
    static constexpr size_t kMaxQueued = 3;
    struct Batch {
        std::vector<std::pair<size_t, size_t>> items;  // entry, where its bytes start
        std::vector<uint8_t> bytes;
    };

    void Hand() {
        if (current.items.empty()) return;
        writer.Push(std::move(current));
        current = Batch{};
    }
    void Write(const Batch& batch) {
        for (const auto& [entry, at] : batch.items) {
            const ChunkEntry& c = index.chunks[entry];
            const uint8_t* bytes = batch.bytes.data() + at;
            if (error != 0 || Sha256Hex(bytes, c.size) != c.sha256) continue;
            if (c.offset != pendingAt + pending.size() || pending.size() >= kBatchBytes) Flush();
            if (pending.empty()) pendingAt = c.offset;
            pending.insert(pending.end(), bytes, bytes + c.size);
            have[entry] = 1;
        }
    }
    void Flush() {
        if (!pending.empty() && error == 0 && !staged.WriteAt(pendingAt, pending.data(), pending.size(), error)) {
            LogFormat("Patcher: cannot write %ls (err %lu)", staged.Path().c_str(), static_cast<unsigned long>(error));
        }
        pending.clear();
    }

    const ChunkIndex& index;
    StagedFile& staged;
    std::vector<char>& have;  // written by the writer only, read after Finish
    Batch current;
    std::vector<uint8_t> pending;  // neighbouring proven chunks, written as one
    uint64_t pendingAt = 0;
    HandOff<Batch> writer;  // last: its thread uses everything above
};

// Cuts the old copy the way the index was cut and hands every chunk whose
// fast hash and size match a wanted one to the writer, which proves it.
void CopyFromOldCopy(const ChunkIndex& index, std::vector<char>& have, std::vector<char>& fromOld, HANDLE old,
                     StagedFile& staged, const std::atomic<bool>& cancel, uint32_t& writeError) {
    std::unordered_multimap<uint64_t, size_t> wanted;
    for (size_t i = 0; i < index.chunks.size(); ++i) {
        if (!have[i]) wanted.emplace(index.chunks[i].fast, i);
    }
    if (wanted.empty()) return;
    ChunkWriter writer(index, staged, have);
    StreamChunker chunker(index.params, [old, &cancel](uint8_t* dst, size_t cap) -> int64_t {
        if (cancel.load()) return -1;
        DWORD got = 0;
        const DWORD ask = cap > (1u << 30) ? (1u << 30) : static_cast<DWORD>(cap);
        if (!ReadFile(old, dst, ask, &got, nullptr)) return -1;
        return got;
    });
    const uint8_t* data = nullptr;
    size_t size = 0;
    while (chunker.Next(data, size)) {
        const auto range = wanted.equal_range(FastChunkHash(data, size));
        for (auto it = range.first; it != range.second; ++it) {
            if (index.chunks[it->second].size != size || fromOld[it->second]) continue;
            fromOld[it->second] = 1;
            writer.Add(it->second, data, size);
        }
    }
    if (!writer.Finish()) writeError = writer.error;
}

}  // namespace

bool PlanChunkedFile(const ChunkIndex& index, StagedFile& staged, const std::wstring& oldPath,
                     int64_t stagedSizeBefore, const std::atomic<bool>& cancel, ChunkPlan& plan,
                     uint32_t& writeError) {
    const size_t n = index.chunks.size();
    std::vector<char> have(n, 0);
    const size_t bufferSize = index.params.maxSize;

    // What an earlier pass left: each chunk proven at its own place.
    Clock::time_point start = Clock::now();
    if (stagedSizeBefore > 0) {
        ForEachChunk(n, bufferSize, [&](size_t i, uint8_t* buffer) {
            const ChunkEntry& c = index.chunks[i];
            if (c.offset + c.size > static_cast<uint64_t>(stagedSizeBefore)) return !cancel.load();
            if (staged.ReadAt(c.offset, buffer, c.size) && FastChunkHash(buffer, c.size) == c.fast &&
                Sha256Hex(buffer, c.size) == c.sha256) {
                have[i] = 1;
            }
            return !cancel.load();
        });
    }
    plan.msStaged = MsSince(start);
    if (cancel.load()) return false;

    // The old copy: candidates by the fast hash, each proven by SHA-256
    // before it is written, so a file that changed under us cannot slip in.
    const KernelHandle old(CreateFileW(oldPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    std::vector<char> fromOld(n, 0);
    start = Clock::now();
    if (old) CopyFromOldCopy(index, have, fromOld, old.get(), staged, cancel, writeError);
    plan.msScanOld = MsSince(start);
    if (writeError != 0 || cancel.load()) return false;

    std::unordered_map<std::string, size_t> bySha;
    for (size_t i = 0; i < n; ++i) {
        const ChunkEntry& c = index.chunks[i];
        if (have[i]) {
            (fromOld[i] ? plan.copiedBytes : plan.keptBytes) += c.size;
            continue;
        }
        // A chunk the file holds twice crosses the wire once.
        const auto [it, added] = bySha.emplace(c.sha256, plan.missing.size());
        if (added) {
            plan.missing.emplace_back();
            plan.missingBytes += c.size;
        }
        plan.missing[it->second].push_back(i);
    }
    return true;
}

}  // namespace vr

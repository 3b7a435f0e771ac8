#include "patcher/chunk_plan.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "net/sha256.h"
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
        const std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);
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

bool ReadAtHandle(HANDLE h, uint64_t offset, uint8_t* data, uint32_t size) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(h, data, size, &got, &o) && got == size;
}

// Where each wanted chunk sits in the old copy, found by cutting it the way
// the index was cut and matching the fast hash and size.
std::vector<int64_t> FindInOldCopy(const ChunkIndex& index, const std::vector<char>& have, HANDLE old,
                                   const std::atomic<bool>& cancel) {
    std::vector<int64_t> found(index.chunks.size(), -1);
    std::unordered_multimap<uint64_t, size_t> wanted;
    for (size_t i = 0; i < index.chunks.size(); ++i) {
        if (!have[i]) wanted.emplace(index.chunks[i].fast, i);
    }
    if (wanted.empty()) return found;
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
            if (index.chunks[it->second].size == size && found[it->second] < 0) {
                found[it->second] = static_cast<int64_t>(chunker.Offset());
            }
        }
    }
    return found;
}

}  // namespace

std::string Sha256Hex(const uint8_t* data, size_t size) {
    Sha256 hash;
    hash.Update(data, size);
    Sha256Digest digest{};
    return hash.Finish(digest) ? DigestHex(digest) : std::string();
}

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

    // The old copy: candidates by the fast hash, each proven by SHA-256 as
    // it is copied, so a file that changed under us cannot slip in.
    const KernelHandle old(CreateFileW(oldPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    std::vector<int64_t> found(n, -1);
    start = Clock::now();
    if (old) found = FindInOldCopy(index, have, old.get(), cancel);
    plan.msScanOld = MsSince(start);
    if (cancel.load()) return false;

    std::vector<size_t> toCopy;
    for (size_t i = 0; i < n; ++i) {
        if (found[i] >= 0) toCopy.push_back(i);
    }
    start = Clock::now();
    std::mutex failLock;
    ForEachChunk(toCopy.size(), bufferSize, [&](size_t k, uint8_t* buffer) {
        const ChunkEntry& c = index.chunks[toCopy[k]];
        if (!ReadAtHandle(old.get(), static_cast<uint64_t>(found[toCopy[k]]), buffer, c.size) ||
            Sha256Hex(buffer, c.size) != c.sha256) {
            return !cancel.load();
        }
        uint32_t error = 0;
        if (!staged.WriteAt(c.offset, buffer, c.size, error)) {
            std::lock_guard<std::mutex> guard(failLock);
            writeError = error;
            return false;
        }
        have[toCopy[k]] = 1;
        return !cancel.load();
    });
    plan.msCopy = MsSince(start);
    if (writeError != 0 || cancel.load()) return false;

    std::unordered_map<std::string, size_t> bySha;
    for (size_t i = 0; i < n; ++i) {
        const ChunkEntry& c = index.chunks[i];
        if (have[i]) {
            (found[i] >= 0 ? plan.copiedBytes : plan.keptBytes) += c.size;
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

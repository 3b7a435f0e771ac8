// The missing chunks of a file published in chunks, fetched and put in place
// in its staged copy. Runs of consecutive chunks come from the whole-file
// object with one Range request each (a large file then moves in a few big
// transfers over all connections); a chunk object is the fallback for a
// server that has no whole object, ignores ranges or serves other bytes.
// Every chunk is proven by its SHA-256 before it is written.
#include <windows.h>

#include <algorithm>
#include <unordered_map>

#include "net/gzip_stream.h"
#include "net/sha256.h"
#include "patcher/parallel_pass.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

// A range unit is at least this large (fewer, longer transfers) and at most
// that (so a fresh large file still spreads over every connection).
constexpr uint64_t kMinRangeBytes = 4ull << 20;
constexpr uint64_t kMaxRangeBytes = 32ull << 20;

}  // namespace

uint64_t ParallelPass::PlanUnits(size_t i) {
    Slot& slot = *slots[i];
    const std::vector<ChunkEntry>& chunks = slot.index.chunks;
    const bool ranged = !chunks.empty() && chunks.front().wholeAt >= 0;
    if (!ranged) {
        for (const std::vector<size_t>& group : slot.plan.missing) slot.units.push_back({group, false});
        return slot.plan.missingBytes;
    }
    std::vector<size_t> missing;
    uint64_t bytes = 0;
    for (const std::vector<size_t>& group : slot.plan.missing) {
        for (size_t e : group) {
            missing.push_back(e);
            bytes += chunks[e].size;
        }
    }
    std::sort(missing.begin(), missing.end());
    // About two units per connection, so the last ones do not leave the
    // other connections idle for long.
    const uint64_t cap = std::clamp<uint64_t>(bytes / (static_cast<uint64_t>(connections) * 2 + 1), kMinRangeBytes,
                                              kMaxRangeBytes);
    uint64_t unitBytes = 0;
    for (size_t e : missing) {
        const bool follows = !slot.units.empty() && slot.units.back().entries.back() + 1 == e;
        if (!follows || unitBytes + chunks[e].size > cap) {
            slot.units.push_back({{}, true});
            unitBytes = 0;
        }
        slot.units.back().entries.push_back(e);
        unitBytes += chunks[e].size;
    }
    return bytes;
}

bool ParallelPass::PlaceChunk(size_t i, size_t entry, const uint8_t* data, TransferResult& r) {
    Slot& slot = *slots[i];
    const ChunkEntry& c = slot.index.chunks[entry];
    if (!slot.staged->WriteAt(c.offset, data, c.size, r.writeError)) {
        LogFormat("Patcher: cannot write %ls (err %lu)", slot.staged->Path().c_str(),
                  static_cast<unsigned long>(r.writeError));
        r.status = HttpStatus::Aborted;
        r.writePath = FullPath(i);
        return false;
    }
    downloaded += c.size;
    std::lock_guard<std::mutex> guard(lock);
    slot.bytesInPlace += c.size;
    slot.percent = static_cast<int>(slot.bytesInPlace * 100 / std::max<uint64_t>(slot.index.fileSize, 1));
    slot.percentFresh = true;
    changed.notify_all();
    return true;
}

// The unit's chunks from the whole-file object, in order; `placed` marks the
// ones written, so a retry (or the fallback) continues after them.
TransferResult ParallelPass::FetchRange(size_t i, const Unit& unit, std::vector<char>& placed) {
    Slot& slot = *slots[i];
    const std::vector<ChunkEntry>& chunks = slot.index.chunks;
    const Patcher::Attempt attempt = [&](const std::wstring& url, Patcher::AttemptNotes& notes) {
        size_t next = 0;
        while (next < unit.entries.size() && placed[next]) ++next;
        if (next == unit.entries.size()) return HttpStatus::Ok;
        const size_t last = unit.entries.back();
        const int64_t to = last + 1 < chunks.size() ? chunks[last + 1].wholeAt - 1 : -1;
        std::string pending;
        TransferResult written;
        GzipStream gz = GzipStream::Raw([&](const uint8_t* data, uint64_t size) {
            pending.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
            while (next < unit.entries.size() && pending.size() >= chunks[unit.entries[next]].size) {
                const ChunkEntry& c = chunks[unit.entries[next]];
                const auto* bytes = reinterpret_cast<const uint8_t*>(pending.data());
                if (Sha256Hex(bytes, c.size) != c.sha256) {
                    LogFormat("Patcher: a range of %ls from %ls does not match its index; fetching its chunks "
                              "one by one",
                              queue[i].relPath.c_str(), HostOf(url).c_str());
                    notes.refused = true;
                    return false;
                }
                if (!PlaceChunk(i, unit.entries[next], bytes, written)) {
                    notes.writeError = written.writeError;
                    return false;
                }
                placed[next++] = 1;
                pending.erase(0, c.size);
            }
            // Bytes past the unit's last chunk are not ours to take.
            return next < unit.entries.size() || pending.empty();
        });
        bool ignored = false;
        HttpStatus r = p.http.GetRange(
            url, static_cast<uint64_t>(chunks[unit.entries[next]].wholeAt), to,
            [&](const uint8_t* data, uint64_t size) {
                p.bytesReceived.fetch_add(static_cast<int64_t>(size));
                return gz.Feed(data, size);
            },
            &stop, &ignored, &notes.stalled);
        if (ignored) {
            LogFormat("Patcher: %ls answers a range request with the whole object; fetching chunks there",
                      HostOf(url).c_str());
            notes.refused = true;
        }
        if (r == HttpStatus::Ok && next < unit.entries.size()) notes.refused = true;  // ended early
        if (notes.refused || notes.writeError != 0) return HttpStatus::Aborted;
        return r;
    };
    return p.Fetch(queue[i].relPath, stop, InnerCallbacks(i), attempt);
}

// One chunk object: its bytes fill every place the chunk has in the file.
TransferResult ParallelPass::FetchChunkObject(size_t i, const std::vector<size_t>& entries) {
    Slot& slot = *slots[i];
    const ChunkEntry& c = slot.index.chunks[entries.front()];
    const auto accept = [&](const std::string& bytes, const std::wstring& url) {
        const std::string got =
            bytes.size() == c.size ? Sha256Hex(bytes.data(), bytes.size()) : "";
        if (got == c.sha256) return true;
        LogFormat("Patcher: a chunk of %ls from %ls does not match its index (%zu bytes, SHA-256 %s); refused, "
                  "trying another server",
                  queue[i].relPath.c_str(), HostOf(url).c_str(), bytes.size(), got.c_str());
        return false;
    };
    std::string bytes;
    TransferResult r = p.FetchToMemory(Utf8ToWide(ChunkObjectPath(c.sha256)), bytes, slot.index.params.maxSize, stop,
                                       InnerCallbacks(i), accept);
    for (size_t e = 0; r.status == HttpStatus::Ok && e < entries.size(); ++e) {
        PlaceChunk(i, entries[e], reinterpret_cast<const uint8_t*>(bytes.data()), r);
    }
    return r;
}

void ParallelPass::UnitStep(size_t i, size_t k) {
    Slot& slot = *slots[i];
    const Unit& unit = slot.units[k - 1];
    TransferResult r;
    if (!unit.ranged) {
        r = FetchChunkObject(i, unit.entries);
    } else {
        std::vector<char> placed(unit.entries.size(), 0);
        r = FetchRange(i, unit, placed);
        if (r.status != HttpStatus::Ok && r.status != HttpStatus::Cancelled && r.writeError == 0) {
            // No server gave this run from its whole object: each chunk
            // that is still missing comes as its own object.
            std::unordered_map<std::string, std::vector<size_t>> rest;
            for (size_t n = 0; n < unit.entries.size(); ++n) {
                if (!placed[n]) rest[slot.index.chunks[unit.entries[n]].sha256].push_back(unit.entries[n]);
            }
            r = TransferResult{};
            for (auto it = rest.begin(); it != rest.end() && r.status == HttpStatus::Ok; ++it) {
                r = FetchChunkObject(i, it->second);
            }
        }
    }
    if (r.status != HttpStatus::Ok) return Finish(i, r);
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        last = --slot.unitsLeft == 0 && !slot.finished;
    }
    if (last) CommitStaged(i);
}

}  // namespace vr

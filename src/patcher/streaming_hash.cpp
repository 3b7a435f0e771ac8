#include "patcher/streaming_hash.h"

#include <system_error>

#include "platform/log.h"

namespace vr {
namespace {

// One file at a time, large batches and a deep queue keep the hand-overs
// rare (each wakes a thread, which costs under Wine): 256 KiB batches, four
// queued, made a 1 GiB hashed pass 8 % slower. A parallel pass holds up to
// (queued + 2) batches per large transfer, so there they stay small.
constexpr size_t kBatchBytes = 1u << 20;
constexpr size_t kMaxQueued = 8;
constexpr size_t kParallelBatchBytes = 256u << 10;
constexpr size_t kParallelMaxQueued = 4;
constexpr int64_t kThreadedFrom = 4ll << 20;
// A helper per parallel transfer of a few MiB added only its memory (the
// thread alone is about 1 MiB under Wine) and no speed.
constexpr int64_t kThreadedInParallelFrom = 64ll << 20;

}  // namespace

StreamingHash::StreamingHash(int64_t expectedSize, bool parallelPass)
    : batchBytes(parallelPass ? kParallelBatchBytes : kBatchBytes),
      maxQueued(parallelPass ? kParallelMaxQueued : kMaxQueued) {
    if (expectedSize < (parallelPass ? kThreadedInParallelFrom : kThreadedFrom)) return;
    try {
        helper = std::thread([this] { HelperMain(); });
        threaded = true;
        batch.reserve(batchBytes);
    } catch (const std::system_error& e) {
        // Hashing inline is slower, never wrong.
        LogFormat("Patcher: no hashing thread (%s); hashing inline", e.what());
    }
}

StreamingHash::~StreamingHash() { StopHelper(); }

void StreamingHash::Update(const uint8_t* data, size_t size) {
    if (!threaded) {
        hash.Update(data, size);
        return;
    }
    batch.insert(batch.end(), data, data + size);
    if (batch.size() >= batchBytes) {
        Hand(std::move(batch));
        batch.clear();
        batch.reserve(batchBytes);
    }
}

void StreamingHash::Hand(std::vector<uint8_t>&& full) {
    std::unique_lock<std::mutex> guard(lock);
    room.wait(guard, [this] { return queue.size() < maxQueued; });
    queue.push_back(std::move(full));
    ready.notify_one();
}

void StreamingHash::HelperMain() {
    for (;;) {
        std::vector<uint8_t> next;
        {
            std::unique_lock<std::mutex> guard(lock);
            ready.wait(guard, [this] { return !queue.empty() || ended; });
            if (queue.empty()) return;
            next = std::move(queue.front());
            queue.pop_front();
            room.notify_one();
        }
        hash.Update(next.data(), next.size());
    }
}

void StreamingHash::StopHelper() {
    if (!helper.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock);
        ended = true;
    }
    ready.notify_one();
    helper.join();
}

std::string StreamingHash::FinishHex() {
    if (threaded && !batch.empty()) Hand(std::move(batch));
    StopHelper();  // the helper has hashed everything queued when it returns
    Sha256Digest digest{};
    return hash.Finish(digest) ? DigestHex(digest) : std::string();
}

}  // namespace vr

#pragma once
// The SHA-256 of a download's decoded bytes, computed while they stream.
// For a large file the hashing runs on a helper thread fed with batches, so
// it overlaps the transfer, the inflate and the write instead of
// adding to them; small files hash inline, where a thread would cost more
// than it saves.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/sha256.h"

namespace vr {

class StreamingHash {
public:
    // expectedSize: what the list says; decides inline or helper thread.
    // In a parallel pass the other transfers keep the cores busy, so only a
    // file large enough to end up downloading alone gets a helper.
    explicit StreamingHash(int64_t expectedSize, bool parallelPass = false);
    ~StreamingHash();
    StreamingHash(const StreamingHash&) = delete;
    StreamingHash& operator=(const StreamingHash&) = delete;

    void Update(const uint8_t* data, size_t size);
    // Once: lower-case hex, or empty when CNG failed.
    std::string FinishHex();

private:
    void HelperMain();
    void Hand(std::vector<uint8_t>&& batch);
    void StopHelper();

    const size_t batchBytes;
    const size_t maxQueued;  // batches waiting; the producer waits beyond, so memory stays bounded
    Sha256 hash;
    std::vector<uint8_t> batch;  // producer side, handed over when full
    bool threaded = false;
    std::mutex lock;
    std::condition_variable ready;  // a batch was queued, or the input ended
    std::condition_variable room;   // the helper took a batch
    std::deque<std::vector<uint8_t>> queue;
    bool ended = false;
    std::thread helper;
};

}  // namespace vr

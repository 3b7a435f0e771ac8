#pragma once
// SHA-256's block function on the processor's SHA extensions. Wine's CNG
// hashes in plain C at about a quarter of a GiB per second, which made
// proving a 2 GiB archive's reused chunks the slowest step of an update;
// with the extensions it is several times faster. Sha256 uses this when the
// processor has them and CNG otherwise.
#include <cstddef>
#include <cstdint>

namespace vr {

bool Sha256NiAvailable();
// Runs `blocks` 64-byte blocks through the state (eight words, A..H).
void Sha256NiBlocks(uint32_t state[8], const uint8_t* data, size_t blocks);

}  // namespace vr

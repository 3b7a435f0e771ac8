#include "crypto.h"

namespace vr::publish {

std::string Sha256Hex(const std::string& data) {
    Sha256Hasher hash;
    hash.Update(data.data(), data.size());
    return hash.FinishHex();
}

}  // namespace vr::publish

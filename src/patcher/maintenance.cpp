#include <cctype>

#include "patcher/patcher.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {

bool IsMaintenanceActive(const LauncherConfig& config) {
    const Http http(kClientUserAgent);
    std::string body;
    // Always the primary server, uncompressed: the flag must not depend on
    // which mirror happens to be fastest.
    // The flag is one word; a server that sends more is broken, and holding
    // whatever it sends could exhaust memory.
    constexpr uint64_t kMaxFlagBytes = 64u << 10;
    const HttpStatus status = http.GetBytes(config.serverUrl + config.maintFile, body, nullptr, kMaxFlagBytes);
    if (status == HttpStatus::Aborted) {
        LogLine("Patcher: maintenance flag larger than 64 KiB; taken as no maintenance");
        return false;
    }
    if (status != HttpStatus::Ok) return false;
    std::string flag = TrimBlanks(body);
    for (char& c : flag) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return flag == "true";
}

}  // namespace vr

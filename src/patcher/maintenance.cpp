#include <cctype>

#include "patcher/patcher.h"
#include "text/text.h"

namespace vr {

bool IsMaintenanceActive(const LauncherConfig& config) {
    const Http http(kClientUserAgent);
    std::string body;
    // Always the primary server, uncompressed: the flag must not depend on
    // which mirror happens to be fastest.
    if (http.GetBytes(config.serverUrl + config.maintFile, body, nullptr) != HttpStatus::Ok) return false;
    std::string flag = TrimBlanks(body);
    for (char& c : flag) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return flag == "true";
}

}  // namespace vr

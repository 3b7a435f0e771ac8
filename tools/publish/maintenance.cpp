#include "publisher.h"

#include <system_error>

#include "common.h"

namespace vr::publish {

bool WriteFlag(const fs::path& path, bool on, std::string& error) {
    const std::string body = on ? "true\n" : "false\n";
    std::string current;
    if (ReadWholeFile(path, current) && current == body) return true;
    return WriteFileAtomic(path, body, error);
}

int SetMaintenance(const Options& o, std::FILE* out, std::FILE* err) {
    const fs::path dir = PathFromUtf8(o.out);
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::string error;
    if (!WriteFlag(dir / PathFromUtf8(o.maintName), o.maintenance == 1, error)) {
        std::fprintf(err, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    std::fprintf(out, "%s: maintenance %s (%s)\n", kTool, o.maintenance == 1 ? "on" : "off", o.maintName.c_str());
    return 0;
}

}  // namespace vr::publish

#include "names.h"

#include <cctype>

#include "fs_util.h"
#include "patcher/chunk_index.h"
#include "patcher/list_rules.h"

namespace vr::publish {

std::string ComponentProblem(const std::string& name) {
    if (name.empty()) return "empty name";
    if (!IsValidUtf8(name)) return "name is not valid UTF-8";
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '\r' || c == '\n') return "name contains a line break";
        if (c < 0x20 || c == 0x7F) return "name contains a control character";
        // U+0080..U+009F arrive as C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) < 0xA0)
            return "name contains a control character";
        if (c == ':') return "name contains a colon";
        if (c == '\\') return "name contains a backslash (the list's folder separator)";
        if (c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*')
            return std::string("name contains '") + static_cast<char>(c) + "', which Windows does not allow";
    }
    if (name == "." || name == "..") return "name is \".\" or \"..\"";
    // Windows drops trailing dots and blanks, so such a name would climb out
    // of its folder or vanish; the launcher refuses it.
    if (name.find_first_not_of(". ") == std::string::npos) return "name is only dots and blanks";
    if (IsDeviceName(name)) return "name is reserved for a device on Windows";
    // Whatever the launcher refuses to write, the tool refuses to list.
    if (!IsSafeListPath(name, false)) return "name is a path the launcher refuses to write";
    // The launcher keeps its half-proven copies under such names and would
    // take a listed one for its own.
    const std::string key = WindowsKey(name), staged = kStagedSuffix;
    if (key.size() >= staged.size() && key.compare(key.size() - staged.size(), staged.size(), staged) == 0)
        return "name ends in " + staged + ", the launcher's name for files it is still checking";
    return {};
}

std::string ServerNameProblem(const std::string& name) {
    if (name.empty()) return "empty name";
    if (name == "." || name == "..") return "name is \".\" or \"..\"";
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == '~'))
            return "only letters, digits and . - _ ~ are allowed";
    }
    if (name.size() >= std::string(kTempSuffix).size() &&
        name.compare(name.size() - std::string(kTempSuffix).size(), std::string::npos, kTempSuffix) == 0)
        return "name ends like a temporary file";
    return {};
}

std::string WindowsKey(const std::string& name) {
    std::string key = name;
    while (!key.empty() && (key.back() == ' ' || key.back() == '.')) key.pop_back();
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

}  // namespace vr::publish

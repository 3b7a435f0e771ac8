#include "game/backgrounds.h"

#include <windows.h>

#include "platform/handles.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr size_t kVideoExtensionChars = 4;  // ".mp4"

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::vector<std::string> ListBackgrounds(const std::wstring& folder) {
    const std::wstring dir = JoinPath(folder, L"");

    std::vector<std::string> names;
    WIN32_FIND_DATAW entry{};
    const FindHandle search(FindFirstFileW((dir + L"Background*.mp4").c_str(), &entry));
    if (!search) {
        LogFormat("Backgrounds: no Background*.mp4 found in %ls", dir.c_str());
        return names;
    }
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring video = entry.cFileName;
        if (video.size() <= kVideoExtensionChars) continue;
        const std::wstring base = video.substr(0, video.size() - kVideoExtensionChars);
        if (!IsFile(dir + base + L".png")) {
            LogFormat("Backgrounds: skipping %ls (no matching .png)", video.c_str());
            continue;
        }
        names.push_back(WideToUtf8(base));
    } while (FindNextFileW(search.get(), &entry));
    LogFormat("Backgrounds: %d usable pair(s)", static_cast<int>(names.size()));
    return names;
}

}  // namespace vr

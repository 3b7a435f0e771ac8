#include "game/backgrounds.h"

#include <windows.h>

#include "app/log.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr size_t kVideoExtensionChars = 4;  // ".mp4"

struct FindHandle {
    HANDLE h;
    ~FindHandle() {
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
    }
};

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::vector<std::string> ListBackgrounds(const std::wstring& folder) {
    std::wstring dir = folder;
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';

    std::vector<std::string> names;
    WIN32_FIND_DATAW entry{};
    FindHandle search{FindFirstFileW((dir + L"Background*.mp4").c_str(), &entry)};
    if (search.h == INVALID_HANDLE_VALUE) {
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
    } while (FindNextFileW(search.h, &entry));
    LogFormat("Backgrounds: %d usable pair(s)", static_cast<int>(names.size()));
    return names;
}

}  // namespace vr

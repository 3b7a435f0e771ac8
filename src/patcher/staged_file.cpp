#include "patcher/staged_file.h"

#include "patcher/chunk_index.h"
#include "patcher/patch_list.h"
#include "platform/log.h"

namespace vr {
namespace {

// Attributes that make a replacement of an existing file fail.
constexpr DWORD kBlockingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr DWORD kMaxIo = 1u << 30;

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

void ClearBlockingAttributes(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(attributes & kBlockingAttributes)) {
        return;
    }
    const DWORD kept = attributes & ~kBlockingAttributes;
    if (SetFileAttributesW(path.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL)) {
        LogFormat("Patcher: cleared read-only, hidden and system attributes of %ls", path.c_str());
    }
}

}  // namespace

StagedFile::StagedFile(std::wstring targetPath) : target(std::move(targetPath)), staged(StagedPathOf(target)) {}

std::wstring StagedFile::StagedPathOf(const std::wstring& target) { return target + kStagedSuffixW; }

bool StagedFile::IsStagedName(const std::wstring& name) {
    const size_t n = std::char_traits<wchar_t>::length(kStagedSuffixW);
    if (name.size() < n) return false;
    // Windows matches names without regard to case, so must we.
    return CompareStringOrdinal(name.c_str() + name.size() - n, static_cast<int>(n), kStagedSuffixW,
                                static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

bool StagedFile::Open(bool keep, uint32_t& error) {
    Close();
    file.Reset(CreateFileW(staged.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           keep ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = GetLastError();
        LogFormat("Patcher: cannot open %ls for writing (err %lu)", staged.c_str(), static_cast<unsigned long>(error));
        return false;
    }
    appendAt = 0;
    return true;
}

int64_t StagedFile::ExistingSize() const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(staged.c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool StagedFile::SetLength(uint64_t size, uint32_t& error) {
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (SetFileInformationByHandle(file.get(), FileEndOfFileInfo, &info, sizeof info)) return true;
    error = GetLastError();
    return false;
}

bool StagedFile::WriteAt(uint64_t offset, const uint8_t* data, size_t size, uint32_t& error) {
    while (size > 0) {
        const DWORD part = size > kMaxIo ? kMaxIo : static_cast<DWORD>(size);
        OVERLAPPED o = At(offset);
        DWORD written = 0;
        if (!WriteFile(file.get(), data, part, &written, &o)) {
            error = GetLastError();
            return false;
        }
        if (written != part) {
            error = ERROR_DISK_FULL;  // a short write without an error is a full disk too
            return false;
        }
        data += part;
        size -= part;
        offset += part;
    }
    return true;
}

bool StagedFile::ReadAt(uint64_t offset, uint8_t* data, size_t size) const {
    while (size > 0) {
        const DWORD part = size > kMaxIo ? kMaxIo : static_cast<DWORD>(size);
        OVERLAPPED o = At(offset);
        DWORD got = 0;
        if (!ReadFile(file.get(), data, part, &got, &o) || got != part) return false;
        data += part;
        size -= part;
        offset += part;
    }
    return true;
}

bool StagedFile::Append(const uint8_t* data, size_t size, uint32_t& error) {
    if (!WriteAt(appendAt, data, size, error)) return false;
    appendAt += size;
    return true;
}

void StagedFile::Close() { file.Reset(); }

bool StagedFile::Commit(const int64_t* mtime, uint32_t& error) {
    if (!file) {
        error = ERROR_INVALID_HANDLE;  // only a copy still open from its writing is committed
        return false;
    }
    // On disk before the name moves: after a power loss the target then
    // holds either its old bytes or all of the new ones.
    if (!FlushFileBuffers(file.get())) {
        error = GetLastError();
        LogFormat("Patcher: cannot flush %ls (err %lu)", staged.c_str(), static_cast<unsigned long>(error));
        return false;
    }
    uint64_t ticks = 0;
    if (mtime && UnixToFileTimeTicks(*mtime, ticks)) {
        FILETIME ft;
        ft.dwLowDateTime = static_cast<DWORD>(ticks);
        ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        if (!SetFileTime(file.get(), nullptr, nullptr, &ft)) {
            LogFormat("Patcher: could not stamp %ls (err %lu)", target.c_str(), GetLastError());
        }
    }
    Close();
    ClearBlockingAttributes(target);
    if (MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    error = GetLastError();
    LogFormat("Patcher: cannot replace %ls (err %lu); its old copy stays", target.c_str(),
              static_cast<unsigned long>(error));
    return false;
}

void StagedFile::Discard() {
    Close();
    static_cast<void>(DeleteFileW(staged.c_str()));
}

int64_t FreeDiskBytes(const std::wstring& folder) {
    ULARGE_INTEGER freeToCaller{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &freeToCaller, nullptr, nullptr)) return -1;
    return static_cast<int64_t>(freeToCaller.QuadPart);
}

std::wstring VolumeOf(const std::wstring& path) {
    wchar_t root[MAX_PATH] = {};
    if (GetVolumePathNameW(path.c_str(), root, MAX_PATH)) return root;
    return path;
}

}  // namespace vr

#include "support/temp_dir.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>

namespace vr::test {
namespace {

void CreateFolders(const std::wstring& path) {
    // Each prefix up to a backslash, then the whole path; existing ones are fine.
    for (size_t i = path.find(L'\\', 3); i != std::wstring::npos; i = path.find(L'\\', i + 1)) {
        CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

void DeleteTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
    std::wstring root(base, n);
    if (!root.empty() && root.back() == L'\\') root.pop_back();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring candidate = root + L"\\vrtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("TempDir: no unique folder could be created");
}

TempDir::~TempDir() { DeleteTree(path_); }

std::wstring TempDir::Join(const std::wstring& rel) const {
    std::wstring r = rel;
    for (auto& ch : r) {
        if (ch == L'/') ch = L'\\';
    }
    return path_ + L"\\" + r;
}

void TempDir::Write(const std::wstring& rel, const std::string& bytes) const {
    const std::wstring full = Join(rel);
    const size_t slash = full.rfind(L'\\');
    if (slash != std::wstring::npos && slash > path_.size()) CreateFolders(full.substr(0, slash));
    HANDLE h = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("TempDir::Write: cannot create file");
    DWORD written = 0;
    const BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != bytes.size()) throw std::runtime_error("TempDir::Write: short write");
}

std::string TempDir::Read(const std::wstring& rel) const {
    HANDLE h = CreateFileW(Join(rel).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string out;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
    CloseHandle(h);
    return out;
}

bool TempDir::Exists(const std::wstring& rel) const {
    return GetFileAttributesW(Join(rel).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void TempDir::MakeDir(const std::wstring& rel) const { CreateFolders(Join(rel)); }

}  // namespace vr::test

#pragma once
// Reads back the start records that fake_process.exe appends to the file
// named by VR_FAKE_RECORD (format in fake_process.cpp).
#include <windows.h>

#include <string>
#include <vector>

namespace vr::test {

struct FakeStart {
    unsigned long pid = 0;
    std::wstring cwd;
    unsigned long flags = 0;
    unsigned long show = 0;
    std::wstring commandLine;
};

inline std::vector<FakeStart> ReadFakeStarts(const std::wstring& recordPath) {
    std::vector<FakeStart> starts;
    HANDLE file = CreateFileW(recordPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return starts;
    std::string bytes;
    char block[4096];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) bytes.append(block, got);
    CloseHandle(file);

    std::wstring text(bytes.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                      static_cast<int>(text.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);

    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(pos, end - pos);
        pos = end + 2;
        FakeStart start;
        size_t field = 0;
        while (field < line.size()) {
            const size_t eq = line.find(L'=', field);
            if (eq == std::wstring::npos) break;
            const std::wstring key = line.substr(field, eq - field);
            // cmd is last and may hold tabs of its own.
            const size_t tab = key == L"cmd" ? std::wstring::npos : line.find(L'\t', eq);
            const std::wstring value =
                line.substr(eq + 1, tab == std::wstring::npos ? std::wstring::npos : tab - eq - 1);
            if (key == L"pid") start.pid = std::stoul(value);
            else if (key == L"cwd") start.cwd = value;
            else if (key == L"flags") start.flags = std::stoul(value);
            else if (key == L"show") start.show = std::stoul(value);
            else if (key == L"cmd") start.commandLine = value;
            if (tab == std::wstring::npos) break;
            field = tab + 1;
        }
        starts.push_back(start);
    }
    return starts;
}

}  // namespace vr::test

#pragma once
// Runs the Windows build of veltrune-publish as a child process, and the
// small file helpers the tests around it share.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/file_times.h"
#include "text/text.h"

namespace vr::test {

inline std::wstring ToolPath() {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self, n);
    dir.erase(dir.rfind(L'\\') + 1);
    std::wstring rel = Utf8ToWide(VR_PUBLISH_FROM_TESTS);
    for (wchar_t& c : rel) {
        if (c == L'/') c = L'\\';
    }
    return dir + rel;
}

// Runs the tool and waits for it, at most two minutes.
inline int RunPublish(const std::vector<std::wstring>& args) {
    std::wstring cmd = L"\"" + ToolPath() + L"\"";
    for (const std::wstring& a : args) cmd += L" \"" + a + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    DWORD code = 9999;
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, 9999);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

// Runs the tool with its standard output in a file; returns the exit code.
inline int RunPublishCapturing(const std::vector<std::wstring>& args, const std::wstring& outFile) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    std::wstring cmd = L"\"" + ToolPath() + L"\"";
    for (const std::wstring& a : args) cmd += L" \"" + a + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = file;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(file);
    if (!started) return -1;
    DWORD code = 9999;
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, 9999);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

// Every file below root, relative path -> absolute path.
inline void Walk(const std::wstring& root, const std::wstring& rel, std::map<std::wstring, std::wstring>& files) {
    WIN32_FIND_DATAW data;
    const std::wstring dir = rel.empty() ? root : root + L"\\" + rel;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring childRel = rel.empty() ? name : rel + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Walk(root, childRel, files);
        else files[childRel] = root + L"\\" + childRel;
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

}  // namespace vr::test

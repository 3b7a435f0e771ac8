#pragma once
// Runs the Windows build of veltrune-publish as a child process, and serves
// what it wrote.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "patcher/patcher.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace vr::test {

// Runs the tool (standard output into `outFile` when given) and waits for
// it, at most two minutes; returns its exit code.
inline int RunPublish(const std::vector<std::wstring>& args, const std::wstring& outFile = L"") {
    wchar_t self[MAX_PATH];
    std::wstring cmd(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    cmd = L"\"" + cmd.erase(cmd.rfind(L'\\') + 1) + Utf8ToWide(VR_PUBLISH_FROM_TESTS) + L"\"";
    for (wchar_t& c : cmd) c = c == L'/' ? L'\\' : c;
    for (const std::wstring& a : args) cmd += L" \"" + a + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = outFile.empty() ? INVALID_HANDLE_VALUE
                                 : CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (out != INVALID_HANDLE_VALUE) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, out != INVALID_HANDLE_VALUE, 0, nullptr,
                                        nullptr, &si, &pi);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
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
    HANDLE find = FindFirstFileW(((rel.empty() ? root : root + L"\\" + rel) + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName, childRel = rel.empty() ? name : rel + L"\\" + name;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Walk(root, childRel, files);
        else files[childRel] = root + L"\\" + childRel;
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

// Everything the tool wrote, under the paths the launcher asks for.
inline void ServeAll(HttpServer& server, const TempDir& out) {
    std::map<std::wstring, std::wstring> objects;
    Walk(out.path(), L"", objects);
    for (const auto& [rel, full] : objects) {
        std::string path = WideToUtf8(rel);
        for (char& c : path) c = c == '\\' ? '/' : c;
        server.Serve("/" + PercentEncode(path), out.Read(rel));
    }
}

}  // namespace vr::test

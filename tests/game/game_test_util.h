#pragma once
// Helpers shared by the game integration tests: a log redirected into a
// private folder, and environment variables set for the duration of a test.
#include <windows.h>

#include <string>
#include <vector>

#include "app/log.h"
#include "support/temp_dir.h"

namespace vr::test {

// Points the process-wide log at a private folder and reads its lines back
// without their time stamps.
class LogCapture {
public:
    LogCapture() { InitLog(dir_.path()); }

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        const std::string text = dir_.Read(L"Veltrune.log");
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(pos, end - pos);
            constexpr size_t kStamp = 13;  // "HH:MM:SS.mmm "
            lines.push_back(line.size() >= kStamp ? line.substr(kStamp) : line);
            pos = end + 2;
        }
        return lines;
    }

private:
    TempDir dir_;
};

class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnv() { SetEnvironmentVariableW(name_, nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const wchar_t* name_;
};

}  // namespace vr::test

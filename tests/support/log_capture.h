#pragma once
// Points the process-wide log at a private folder for one test and reads its
// lines back without their time stamps.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/log.h"
#include "support/temp_dir.h"

namespace vr::test {

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
            const std::string line = text.substr(pos, end - pos);
            constexpr size_t kStamp = 13;  // "HH:MM:SS.mmm "
            lines.push_back(line.size() >= kStamp ? line.substr(kStamp) : line);
            pos = end + 2;
        }
        return lines;
    }
    // A whole line, not a piece of one.
    bool Has(const std::string& line) const {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // How many lines hold `piece`.
    int Count(const std::string& piece) const {
        const auto lines = Lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(piece) != std::string::npos;
        }));
    }
    // Bounded wait for a line written by another thread.
    bool WaitFor(const std::string& line, uint32_t timeoutMs) const {
        for (uint32_t waited = 0;; waited += 20) {
            if (Has(line)) return true;
            if (waited >= timeoutMs) return false;
            Sleep(20);
        }
    }

private:
    TempDir dir_;
};

}  // namespace vr::test

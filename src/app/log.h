#pragma once
// The process-wide log: Veltrune.log beside the executable (emptied at each
// start) plus the debugger channel. Safe from any thread; never fails a caller.
#include <string>

namespace vr {

void InitLog(const std::wstring& exeDir);
void LogLine(const std::string& text);
// printf-style (narrow format; "%ls" takes a wide string). Cut to 1023 bytes.
void LogFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace vr

#pragma once
// The process-wide log: Veltrune.log beside the executable (emptied at each
// start) plus the debugger channel. Safe from any thread; never fails a caller.
#include <string>

namespace vr {

void InitLog(const std::wstring& exeDir);
void LogLine(const std::string& text);
// printf-style (narrow format; "%ls" takes a wide string, written as UTF-8;
// "%s" takes UTF-8, copied as it is). The C99 conversions and length
// modifiers (%zu, %lld, %hhu, %*d...) are understood, and so is Microsoft's
// %I64d. The result is cut to 1023 bytes.
void LogFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

}  // namespace vr

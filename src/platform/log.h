#pragma once
// The process-wide log: Veltrune.log beside the executable (emptied at each
// start) plus the debugger channel. Safe from any thread; never fails a caller.
#include <string>

namespace vr {

void InitLog(const std::wstring& exeDir);
void LogLine(const std::string& text);
// printf-style (narrow format; "%ls" takes a wide string, written as UTF-8;
// "%s" takes UTF-8, copied as it is). Understood: flags, a width and a
// precision in digits, the lengths l, ll and z, and d i u x X f s %; any other
// conversion ends the result, the rest of the format kept as text. The result
// is cut to 1023 bytes.
void LogFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

}  // namespace vr

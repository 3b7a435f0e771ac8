// veltrune-publish: turns a game folder into what the patch servers serve.
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "publisher.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

int Run(const std::vector<std::string>& args) {
    using namespace vr::publish;
    Options options;
    std::string error;
    if (!ParseArgs(args, options, error)) {
        std::fprintf(stderr, "veltrune-publish: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }
    switch (options.mode) {
        case Mode::Help: std::fputs(kUsage, stdout); return 0;
        case Mode::Verify: return Verify(options, stdout, stderr);
        case Mode::Keygen: return Keygen(options, stdout, stderr);
        case Mode::Maintenance: return SetMaintenance(options, stdout, stderr);
        case Mode::Publish: break;
    }
    return Publish(options, stdout, stderr);
}

}  // namespace

#ifdef _WIN32
// Wide arguments, so that folder names outside the ANSI code page arrive intact.
int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string a(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, a.data(), n, nullptr, nullptr);
        args.push_back(a);
    }
    return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif

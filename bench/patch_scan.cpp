// Up-to-date check: the list scan of an N-file list against a game folder
// where every file is current, beside a bare GetFileAttributesExW loop over
// the same files in the same run.
//
//   bench_patch_scan.exe [--files N] [--rounds R]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "patcher/patch_list.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPerFolder = 1000;
constexpr int64_t kMtime = 1600000000;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

}  // namespace

int main(int argc, char** argv) {
    int files = 100000, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--files") files = std::atoi(argv[i + 1]);
        if (a == "--rounds") rounds = std::atoi(argv[i + 1]);
    }

    vr::test::TempDir game;
    const std::wstring base = game.path() + L"\\";
    std::string list = "v 29\n";
    std::vector<std::wstring> paths;
    paths.reserve(files);
    const uint64_t ticks = static_cast<uint64_t>(kMtime + 11644473600LL) * 10000000ULL;
    const FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};

    std::printf("creating %d files...\n", files);
    std::fflush(stdout);
    const auto c0 = Clock::now();
    for (int i = 0; i < files; ++i) {
        const std::string folder = "Data" + std::to_string(i / kPerFolder);
        if (i % kPerFolder == 0) {
            list += "d " + folder + "\n";
            CreateDirectoryW((base + std::wstring(folder.begin(), folder.end())).c_str(), nullptr);
        }
        const std::string name = "asset_" + std::to_string(i) + ".pak";
        const std::string content = std::to_string(i);
        list += "f " + std::to_string(kMtime) + " " + std::to_string(content.size()) + " 0 " + name + "\n";
        const std::string rel = folder + "\\" + name;
        paths.push_back(base + std::wstring(rel.begin(), rel.end()));
        HANDLE h = CreateFileW(paths.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::printf("cannot create file %d\n", i);
            return 1;
        }
        DWORD w = 0;
        WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &w, nullptr);
        SetFileTime(h, nullptr, nullptr, &ft);
        CloseHandle(h);
    }
    std::printf("created in %.1f s; list %.1f MiB\n", Seconds(c0, Clock::now()), list.size() / 1048576.0);

    std::vector<double> scanSec, bareSec;
    for (int r = 0; r < rounds; ++r) {
        const auto s0 = Clock::now();
        const vr::ListScan scan = vr::ScanPatchList(list, base, 29);
        scanSec.push_back(Seconds(s0, Clock::now()));
        if (scan.outOfDate || !scan.queue.empty()) {
            std::printf("scan found %zu stale files; expected none\n", scan.queue.size());
            return 1;
        }

        const auto b0 = Clock::now();
        int current = 0;
        for (const std::wstring& p : paths) {
            WIN32_FILE_ATTRIBUTE_DATA d;
            current += GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &d) ? 1 : 0;
        }
        bareSec.push_back(Seconds(b0, Clock::now()));
        if (current != files) {
            std::printf("bare loop saw %d of %d files\n", current, files);
            return 1;
        }
    }
    std::sort(scanSec.begin(), scanSec.end());
    std::sort(bareSec.begin(), bareSec.end());
    const double scan = scanSec[scanSec.size() / 2], bare = bareSec[bareSec.size() / 2];
    std::printf("list scan (median of %d): %.3f s, %.0f files/s\n", rounds, scan, files / scan);
    std::printf("bare GetFileAttributesExW loop (median of %d): %.3f s, %.0f files/s\n", rounds, bare, files / bare);
    std::printf("ratio scan / bare rate: %.2f\n", bare / scan);
    std::printf("deleting...\n");
    return 0;
}

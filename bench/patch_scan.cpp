// Up-to-date check: the list scan of an N-file list against a game folder
// where every file is current, beside a bare GetFileAttributesExW loop over
// the same files and a folder-enumeration check (FindFirstFileExW with
// FindExInfoBasic and FIND_FIRST_EX_LARGE_FETCH, one enumeration per folder,
// then the same size and time rule looked up by upper-cased name) in the same
// run.
//
//   bench_patch_scan.exe [--files N] [--rounds R]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "patcher/patch_list.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPerFolder = 1000;
constexpr int64_t kMtime = 1600000000;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::wstring Upper(std::wstring s) {
    CharUpperBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

struct Entry {
    int64_t size;
    uint64_t ticks;
};

// Every listed file current by the scan's rule (size, time within 2 s),
// found through one enumeration per folder.
int EnumerationCheck(const std::vector<std::wstring>& folders, const std::vector<std::vector<std::wstring>>& names,
                     int64_t size, uint64_t listedTicks) {
    int current = 0;
    std::unordered_map<std::wstring, Entry> seen;
    for (size_t f = 0; f < folders.size(); ++f) {
        seen.clear();
        WIN32_FIND_DATAW d;
        HANDLE h = FindFirstFileExW((folders[f] + L"\\*").c_str(), FindExInfoBasic, &d, FindExSearchNameMatch, nullptr,
                                    FIND_FIRST_EX_LARGE_FETCH);
        if (h == INVALID_HANDLE_VALUE) continue;
        do {
            if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            const int64_t sz = (static_cast<int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
            const uint64_t t =
                (static_cast<uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) | d.ftLastWriteTime.dwLowDateTime;
            seen.emplace(Upper(d.cFileName), Entry{sz, t});
        } while (FindNextFileW(h, &d));
        FindClose(h);
        for (const std::wstring& n : names[f]) {
            const auto it = seen.find(Upper(n));
            if (it == seen.end() || it->second.size != size) continue;
            const int64_t diff =
                static_cast<int64_t>(it->second.ticks / 10000000ULL) - static_cast<int64_t>(listedTicks / 10000000ULL);
            current += diff >= -2 && diff <= 2;
        }
    }
    return current;
}

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
    std::vector<std::wstring> folders;
    std::vector<std::vector<std::wstring>> names;
    const uint64_t ticks = static_cast<uint64_t>(kMtime + 11644473600LL) * 10000000ULL;
    const FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};

    std::printf("creating %d files...\n", files);
    std::fflush(stdout);
    const auto c0 = Clock::now();
    for (int i = 0; i < files; ++i) {
        const std::string folder = "Data" + std::to_string(i / kPerFolder);
        if (i % kPerFolder == 0) {
            list += "d " + folder + "\n";
            folders.push_back(base + std::wstring(folder.begin(), folder.end()));
            names.emplace_back();
            CreateDirectoryW(folders.back().c_str(), nullptr);
        }
        const std::string name = "asset_" + std::to_string(i) + ".pak";
        names.back().push_back(std::wstring(name.begin(), name.end()));
        // The same size for all, so the enumeration check needs no per-file table.
        std::string content = std::to_string(i);
        content.resize(8, ' ');
        list += "f " + std::to_string(kMtime) + " " + std::to_string(content.size()) + " 0 " + name + "\n";
        const std::string rel = folder + "\\" + name;
        paths.push_back(base + std::wstring(rel.begin(), rel.end()));
        HANDLE h =
            CreateFileW(paths.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

    std::vector<double> scanSec, bareSec, enumSec;
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

        const auto e0 = Clock::now();
        const int enumerated = EnumerationCheck(folders, names, 8, ticks);
        enumSec.push_back(Seconds(e0, Clock::now()));
        if (enumerated != files) {
            std::printf("enumeration saw %d of %d files current\n", enumerated, files);
            return 1;
        }
    }
    std::sort(enumSec.begin(), enumSec.end());
    std::sort(scanSec.begin(), scanSec.end());
    std::sort(bareSec.begin(), bareSec.end());
    const double scan = scanSec[scanSec.size() / 2], bare = bareSec[bareSec.size() / 2];
    std::printf("list scan (median of %d): %.3f s, %.0f files/s\n", rounds, scan, files / scan);
    std::printf("bare GetFileAttributesExW loop (median of %d): %.3f s, %.0f files/s\n", rounds, bare, files / bare);
    std::printf("ratio scan / bare rate: %.2f\n", bare / scan);
    const double en = enumSec[enumSec.size() / 2];
    std::printf("folder enumeration + lookup (median of %d): %.3f s, %.0f files/s\n", rounds, en, files / en);
    std::printf("ratio enumeration / bare per-file rate: %.2f\n", bare / en);
    std::printf("deleting...\n");
    return 0;
}

// What a thread costs in working set, apart from anything it does: the
// growth while N threads wait, with the default stack and with a 64 KiB
// stack reservation, and what is left once they have ended.
//
//   bench_thread_memory.exe [--threads N]   (default: 1, 6 and 12)
//
// Under Wine most of a parallel pass's working-set growth is its threads;
// this separates that from the transfers (bench_patch_run).
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double WorkingSetMib() {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return static_cast<double>(pmc.WorkingSetSize) / 1048576.0;
}

DWORD WINAPI Wait(void* release) {
    WaitForSingleObject(static_cast<HANDLE>(release), INFINITE);
    return 0;
}

// Growth with `count` threads waiting, and after they have ended, over the
// value before they started.
void Measure(int count, SIZE_T stackReserve) {
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const double before = WorkingSetMib();
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) {
        const HANDLE t = CreateThread(nullptr, stackReserve, Wait, release,
                                      stackReserve ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
        if (t) threads.push_back(t);
    }
    Sleep(300);  // every thread has started and is waiting
    const double running = WorkingSetMib();
    SetEvent(release);
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    Sleep(100);
    const double after = WorkingSetMib();
    CloseHandle(release);
    std::printf("%2zu threads, stack %-15s: +%.1f MiB while waiting (%.2f MiB each), +%.1f MiB after they ended\n",
                threads.size(), stackReserve ? "reserve 64 KiB" : "default", running - before,
                (running - before) / static_cast<double>(threads.size()), after - before);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts = {1, 6, 12};
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--threads") counts = {std::max(1, std::atoi(argv[i + 1]))};
    }
    Measure(1, 0);  // warms up what the first thread of a process pays once
    for (const int n : counts) {
        Measure(n, 0);
        Measure(n, 64 * 1024);
    }
    return 0;
}

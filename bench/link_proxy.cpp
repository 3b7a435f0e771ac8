// The emulated long link for tools driven from a shell (native casync, zsync,
// curl): the tests' LatencyProxy in front of a 127.0.0.1 port, so those tools
// cross exactly the link the launcher crosses in the same benchmark run.
//
//   bench_link_proxy.exe TARGET_PORT ONE_WAY_MS BYTES_PER_SECOND
//
// Prints "port N" once listening. Each line read on stdin prints
// "bytes up U down D connections C" (totals so far: requests, responses);
// "quit", end of input or Ctrl-C prints the same line prefixed "final" and
// ends. BYTES_PER_SECOND holds each direction of each connection
// (100 Mbit/s = 12500000); 0 means no limit.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "support/latency_proxy.h"

namespace {

vr::test::LatencyProxy* g_link = nullptr;

void PrintBytes(const char* prefix) {
    std::printf("%sbytes up %llu down %llu connections %d\n", prefix,
                static_cast<unsigned long long>(g_link->BytesUp()),
                static_cast<unsigned long long>(g_link->BytesDown()), g_link->Connections());
    std::fflush(stdout);
}

BOOL WINAPI OnConsoleCtrl(DWORD) {
    PrintBytes("final ");
    // The proxy's threads may be mid-send; a clean stop is not worth waiting
    // for when the shell has asked us to go.
    ExitProcess(0);
}

bool ReadNumber(const char* text, unsigned long long max, unsigned long long& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return end != text && *end == '\0' && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long port = 0, delay = 0, rate = 0;
    if (argc != 4 || !ReadNumber(argv[1], 65535, port) || port == 0 || !ReadNumber(argv[2], 10000, delay) ||
        !ReadNumber(argv[3], 1ull << 40, rate)) {
        std::fprintf(stderr, "usage: bench_link_proxy TARGET_PORT ONE_WAY_MS BYTES_PER_SECOND\n");
        return 2;
    }
    vr::test::LatencyProxy link(static_cast<uint16_t>(port), static_cast<uint32_t>(delay), rate);
    if (link.Port() == 0) {
        std::fprintf(stderr, "bench_link_proxy: cannot listen on 127.0.0.1\n");
        return 1;
    }
    g_link = &link;
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    std::printf("port %u\n", static_cast<unsigned>(link.Port()));
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit" || line == "quit\r") break;
        PrintBytes("");
    }
    PrintBytes("final ");
    return 0;
}

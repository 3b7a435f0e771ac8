// What the per-file checks cost. Publishes N gzip objects on the loopback
// test server under two lists, one without hashes and one with "#hash
// sha256", and times in the same run:
//   1. Patcher::Run from an empty game folder with each list (the hashing
//      pass against the plain one: ratio = plain time / hashed time);
//   2. a repair (Run with verifyContents) of the folder already current,
//      against a bare CNG SHA-256 read loop over the same files (ratio =
//      bare time / repair time).
//
//   bench_trust.exe [--files N] [--mib TOTAL] [--rounds R] [--connections C]
//
// Each round runs every mode once; the best time of each is reported, which
// damps the noise of a shared machine.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/launcher_config.h"
#include "net/sha256.h"
#include "patcher/patcher.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "text/text.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::string Content(size_t size, uint64_t seed) { return vr::test::GameLikeContent(size, seed); }

// The platform's rate for the same work: open, read in 1 MiB blocks, hash
// with CNG directly, compare.
bool BareHash(const std::wstring& path, const std::string& expected) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    bool ok = f != INVALID_HANDLE_VALUE;
    static std::vector<uint8_t> block(1u << 20);
    while (ok) {
        DWORD got = 0;
        if (!ReadFile(f, block.data(), static_cast<DWORD>(block.size()), &got, nullptr)) ok = false;
        if (got == 0) break;
        BCryptHashData(hash, block.data(), got, 0);
    }
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    vr::Sha256Digest digest{};
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), 32, 0)) && vr::DigestHex(digest) == expected;
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

void EmptyFolder(const std::wstring& dir) {
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring n = d.cFileName;
        if (n != L"." && n != L"..") DeleteFileW((dir + L"\\" + n).c_str());
    } while (FindNextFileW(h, &d));
    FindClose(h);
}

}  // namespace

int main(int argc, char** argv) {
    int files = 256, rounds = 2, connections = vr::LauncherConfig().connections;
    double totalMib = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--files") files = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--mib") totalMib = std::atof(argv[i + 1]);
        if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--connections") connections = std::clamp(std::atoi(argv[i + 1]), 1, 16);
    }
    const uint64_t size = static_cast<uint64_t>(totalMib * 1048576.0 / files);

    std::printf("publishing %d files of %.2f MiB; passes with %d connection(s)...\n", files, size / 1048576.0,
                connections);
    std::fflush(stdout);
    vr::test::HttpServer server;
    std::string plain = "v 29\n", hashed = "v 29\n#hash sha256\n";
    std::vector<std::string> digests;
    for (int i = 0; i < files; ++i) {
        const std::string bytes = Content(size, i + 1);
        vr::Sha256 h;
        h.Update(bytes.data(), bytes.size());
        vr::Sha256Digest d{};
        h.Finish(d);
        digests.push_back(vr::DigestHex(d));
        const std::string name = "file" + std::to_string(i) + ".bin";
        plain += "f 1600000000 " + std::to_string(size) + " 0 " + name + "\n";
        hashed += "f 1600000000 " + std::to_string(size) + " " + digests.back() + " " + name + "\n";
        server.Serve("/" + name + ".gz", vr::test::Gzip(bytes, 6));
    }
    server.Serve("/plain.txt.gz", vr::test::Gzip(plain));
    server.Serve("/hashed.txt.gz", vr::test::Gzip(hashed));

    vr::test::TempDir game;
    vr::LauncherConfig config;
    config.mirrors = {server.WUrl()};
    config.serverUrl = server.WUrl();
    config.patchVersion = 29;
    config.connections = connections;
    std::atomic<bool> cancel{false};
    double plainSec = 1e30, hashedSec = 1e30, repairSec = 1e30, bareSec = 1e30;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const wchar_t* list : {L"plain.txt", L"hashed.txt"}) {
            EmptyFolder(game.path());
            config.listFile = list;
            vr::Patcher p(config, game.path());
            const auto t0 = Clock::now();
            failures += p.Run(cancel, {}) != vr::PatchResult::Finished;
            const double s = Seconds(t0, Clock::now());
            double& best = list[0] == L'p' ? plainSec : hashedSec;
            best = std::min(best, s);
        }
        // The folder is current from the hashed pass.
        config.listFile = L"hashed.txt";
        vr::Patcher p(config, game.path());
        int queued = 0;
        vr::PatchCallbacks cb;
        cb.fileCount = [&](int n) { queued = n; };
        auto t0 = Clock::now();
        failures += p.Run(cancel, cb, true) != vr::PatchResult::Finished || queued != 0;
        repairSec = std::min(repairSec, Seconds(t0, Clock::now()));
        t0 = Clock::now();
        for (int i = 0; i < files; ++i) {
            failures += !BareHash(game.Join(vr::Utf8ToWide("file" + std::to_string(i) + ".bin")), digests[i]);
        }
        bareSec = std::min(bareSec, Seconds(t0, Clock::now()));
    }
    const double mib = static_cast<double>(size) * files / 1048576.0;
    std::printf("data: %d files, %.1f MiB; best of %d rounds; failures: %d\n", files, mib, rounds, failures);
    std::printf("pass without hashes: %7.2f s  %7.1f MiB/s\n", plainSec, mib / plainSec);
    std::printf("pass with hashes:    %7.2f s  %7.1f MiB/s  ratio %.3f\n", hashedSec, mib / hashedSec,
                plainSec / hashedSec);
    std::printf("bare CNG hash loop:  %7.2f s  %7.1f MiB/s\n", bareSec, mib / bareSec);
    std::printf("repair, all current: %7.2f s  %7.1f MiB/s  ratio %.3f\n", repairSec, mib / repairSec,
                bareSec / repairSec);
    return failures == 0 ? 0 : 1;
}

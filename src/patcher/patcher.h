#pragma once
// The patching state of one worker thread: its configuration copy, the game
// folder, the ordered server list and the figures of the current pass, with
// the operations of a pass (mirror choice, downloads with retry and failover,
// the pass itself) and the maintenance check run between passes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/http.h"
#include "platform/launcher_config.h"

namespace vr {

// Every report of the patcher to its caller, on the caller's thread, in the
// order the patcher reaches them. Any member may be empty.
struct PatchCallbacks {
    // "checking", "updating", "downloading" or "finished".
    std::function<void(const std::string&)> phase;
    // UTF-8 status texts (server choice, retries, server switches).
    std::function<void(const std::string&)> status;
    // Number of files queued, once per pass, before the first download.
    std::function<void(int)> fileCount;
    // After each completed file: files done so far and the queue length.
    std::function<void(int done, int total)> filesDone;
    // During each file and once more at 100 when it completes: file percent,
    // average speed of the pass in MiB/s, MiB received in the pass, the file.
    std::function<void(int percent, double speed, double doneMb, const std::wstring& file)> fileProgress;
};

// Result of one pass (Patcher::Run).
enum PatchResult : int {
    Finished = 0,         // every listed file is current
    SelfUpdateReady = 1,  // the new launcher is at selfUpdatePath
    FileMissing = 2,      // not found on any server; lastUrl says which
    NetworkError = 3,     // any other failure
    PatchCancelled = 4,   // the cancel flag was seen set
};

class Patcher {
public:
    Patcher(const LauncherConfig& config, std::wstring baseDir);

    // One complete pass; returns a PatchResult.
    int Run(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks);

    // Probes every server at once and orders `servers` fastest first, failed
    // ones last; `currentServer` is 0 afterwards.
    void SelectFastestServer(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks);

    // The URL of the compressed object for relPath on the current server.
    std::wstring BuildUrl(const std::wstring& relPath) const;

    // Fetch relPath + ".gz" with retry and failover, decompressing on the fly.
    HttpStatus DownloadToString(const std::wstring& relPath, std::string& out, const std::atomic<bool>& cancel,
                                const PatchCallbacks& callbacks);
    HttpStatus DownloadToFile(const std::wstring& relPath, const std::wstring& localPath,
                              const std::atomic<bool>& cancel, const PatchCallbacks& callbacks);

    LauncherConfig config;
    std::wstring baseDir;  // always ends in a backslash
    Http http;
    std::wstring lastUrl;         // most recent fetch, set before the first attempt on each server
    std::wstring selfUpdatePath;  // where the new launcher was written
    std::vector<std::wstring> servers;  // base URLs, each ending in '/'
    size_t currentServer = 0;
    int64_t bytesReceived = 0;  // compressed bytes of the current pass
    uint64_t runStartTick = 0;

    // Test seams; the defaults are the shipped behaviour.
    // A retry waits 20 slices of this many milliseconds, checking cancel before each.
    uint32_t retryPauseSliceMs = 100;
    // The roaming application-data folder (empty when unknown).
    std::function<std::wstring()> roamingFolder;
};

// Host part of a URL (port kept): after the first "://" up to the next '/'.
std::wstring HostOf(const std::wstring& url);

// Keeps A-Z a-z 0-9 - . _ ~ / and writes every other byte as %XX.
std::string PercentEncode(const std::string& utf8);

// True when the primary server's maintenance file says "true" (any case,
// blanks around it allowed); any failure means no maintenance.
bool IsMaintenanceActive(const LauncherConfig& config);

}  // namespace vr

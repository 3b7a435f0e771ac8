#pragma once
// The patching state of one worker thread: its configuration copy, the game
// folder, the ordered server list and the figures of the current pass, with
// the operations of a pass (mirror choice, downloads with retry and failover,
// the pass itself) and the maintenance check run between passes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "net/http.h"
#include "platform/launcher_config.h"

namespace vr {

struct PendingFile;

// The unit of every MiB figure the patcher reports (2^20 bytes).
inline constexpr double kBytesPerMiB = 1024.0 * 1024.0;

// Every report of the patcher to its caller, on the caller's thread, in the
// order the patcher reaches them. Any member may be empty.
struct PatchCallbacks {
    // "checking", "verifying" (a repair hashing the game files), "updating",
    // "downloading" or "finished".
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
    // During the "verifying" phase of a repair: files checked, files to
    // check, MiB hashed, MiB to hash.
    std::function<void(int done, int total, double doneMb, double totalMb)> verifyProgress;
    // While downloading, with each fileProgress report and whenever the plan
    // grows (a large file's local copies were searched): decoded bytes the
    // pass downloads in all, of them downloaded so far, and bytes taken from
    // local copies instead of the wire.
    std::function<void(int64_t toDownload, int64_t downloaded, int64_t reused)> transfer;
};

// Result of one pass (Patcher::Run); the numbers are fixed, since reports
// print them.
enum class PatchResult : int32_t {
    Finished = 0,         // every listed file is current
    SelfUpdateReady = 1,  // the new launcher is at SelfUpdatePath()
    FileMissing = 2,      // not found on any server; LastUrl() says which
    NetworkError = 3,     // any other failure
    PatchCancelled = 4,   // the cancel flag was seen set
    WriteFailed = 5,      // a local file could not be created or written; WriteFailedPath() and WriteError() say why
    ListUnverified = 6,   // a list key is set and no server had a list that passes it
    FileMismatch = 7,     // a file's bytes differed from the list on every server that had it; LastUrl() says which
    ListExpired = 8,      // as ListUnverified, but a list that passed every other check was past its expiry
                          // by this computer's clock
};

// What a downloaded file must be, from the patch list: its decoded size and,
// when the list carries hashes, its SHA-256.
struct FileCheck {
    int64_t size = -1;   // -1: not checked
    std::string sha256;  // lower-case hex; empty: not checked
    int64_t maxSize = -1;  // without a listed size: refused past this many bytes; -1: no cap
};

// What one transfer found. Each transfer keeps its own, so transfers running
// side by side never read each other's failure.
struct TransferResult {
    HttpStatus status = HttpStatus::Ok;
    std::wstring url;         // the last URL it asked for
    bool refused = false;     // every server that had it served bytes the list does not vouch for
    uint32_t writeError = 0;  // a local file could not be written or replaced (with writePath)
    std::wstring writePath;
    uint64_t neededBytes = 0;  // with ERROR_DISK_FULL from the free-space check: what the file needs
};

// Judges a complete object before it is used; the URL it came from is for
// the log. False refuses it: that server failed, the next one is asked.
using AcceptFn = std::function<bool(const std::string& body, const std::wstring& url)>;

class PatcherTestAccess;
class StagedFile;
class ParallelPass;

class Patcher {
public:
    // What a test may replace; every member starts as the shipped behaviour.
    struct Seams {
        Seams();
        // One slice of the 2 s retry pause (20 slices of 100 ms, the cancel
        // flag tested before each): Sleep.
        std::function<void(uint32_t milliseconds)> pause;
        // The roaming application-data folder, empty when unknown:
        // SHGetFolderPathW(CSIDL_APPDATA).
        std::function<std::wstring()> roamingFolder;
        // The clock a list's "#expires" is judged by, Unix seconds:
        // GetSystemTimeAsFileTime.
        std::function<int64_t()> unixNow;
        // Free bytes on the volume of a folder, -1 when unknown:
        // GetDiskFreeSpaceExW.
        std::function<int64_t(const std::wstring& folder)> freeDiskBytes;
        // A transfer that receives fewer than stallMinBytes over
        // stallWindowMs of waiting on its server goes to the next server.
        uint32_t stallWindowMs = 30000;
        uint64_t stallMinBytes = 4096;
        // How long a mirror took to answer its probe, in ms, given the time
        // measured (never asked about a mirror that did not answer): the
        // measured time.
        std::function<int64_t(const std::wstring& server, int64_t measuredMs)> probeLatency;
    };

    // Where the highest list serial accepted for a key is remembered across
    // runs (the bridge keeps it with the player's preferences). Without one
    // the patcher remembers it for its own lifetime only.
    struct SerialStore {
        std::function<int64_t(const std::string& keyId)> load;  // -1 when none
        std::function<void(const std::string& keyId, int64_t serial)> save;
    };
    void SetSerialStore(SerialStore store) { serialStore = std::move(store); }

    Patcher(const LauncherConfig& config, std::wstring baseDir, Seams seams = {});

    // The bandwidth cap in KiB/s (0 = none) for the next pass, and for the
    // running one when called from its callbacks (the worker's thread).
    void SetMaxKiBps(int32_t kiBps);

    // One complete pass. With verifyContents (a repair) a file is current
    // only when its bytes hash to the listed SHA-256, when the list has them.
    PatchResult Run(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks, bool verifyContents = false);

    // Probes every server at once and orders the server list fastest first,
    // failed ones last; the current server is the first afterwards.
    void SelectFastestServer(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks);

    // The URL of the compressed object for relPath on the current server.
    std::wstring BuildUrl(const std::wstring& relPath) const;

    // Fetch relPath + ".gz" with retry and failover, decompressing on the fly.
    // `accept` judges a complete text; a refused one counts as a failure of
    // that server and the next one is tried at once. `result`, when given,
    // receives the transfer's own outcome.
    HttpStatus DownloadToString(const std::wstring& relPath, std::string& out, const std::atomic<bool>& cancel,
                                const PatchCallbacks& callbacks,
                                const AcceptFn& accept = nullptr, TransferResult* result = nullptr);
    // Fetches into a staged copy beside localPath and, once its size and hash
    // match `check` (when given), replaces localPath with it (stamped with
    // `mtime` when given). Wrong bytes are dropped and the next server asked;
    // until the replacement localPath keeps its old bytes.
    HttpStatus DownloadToFile(const std::wstring& relPath, const std::wstring& localPath,
                              const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                              const FileCheck* check = nullptr, TransferResult* result = nullptr,
                              const int64_t* mtime = nullptr);

    // How the last pass (or direct download) ended: the URL last asked for,
    // and the local file that could not be written with the system error
    // (0 when none failed).
    const std::wstring& LastUrl() const { return lastUrl; }
    const std::wstring& WriteFailedPath() const { return writeFailedPath; }
    uint32_t WriteError() const { return writeError; }
    // When a free-space check failed the pass: the bytes the file needed.
    uint64_t DiskBytesNeeded() const { return diskBytesNeeded; }
    // Where the new launcher was written; empty until a self-update pass.
    const std::wstring& SelfUpdatePath() const { return selfUpdatePath; }
    const std::wstring& BaseDir() const { return baseDir; }
    const std::vector<std::wstring>& Servers() const { return servers; }
    size_t CurrentServer() const {
        std::lock_guard<std::mutex> guard(stateLock);
        return currentServer;
    }
    // Compressed bytes received since the current pass started.
    int64_t BytesReceived() const { return bytesReceived.load(); }

private:
    friend class PatcherTestAccess;  // tests set states a pass reaches slowly or never
    friend class ParallelPass;       // the pass's transfers use the fetches below

    // What an attempt found besides its status: a local write fault, or
    // content this server should not have served (moves to the next server).
    struct AttemptNotes {
        uint32_t writeError = 0;
        bool refused = false;
        bool stalled = false;  // too little progress: the next server, without retries
    };
    // One transfer attempt, with a clean end of the gzip stream folded into Ok.
    using Attempt = std::function<HttpStatus(const std::wstring& url, AttemptNotes& notes)>;
    // The server and retry loop shared by every download.
    TransferResult Fetch(const std::wstring& relPath, const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                         const Attempt& attempt);
    // One object into memory, at most maxBytes once inflated.
    TransferResult FetchToMemory(const std::wstring& relPath, std::string& out, uint64_t maxBytes,
                                 const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                                 const AcceptFn& accept);
    // One whole file into its staged copy, checked; the caller commits it.
    TransferResult FetchToStaged(const std::wstring& relPath, StagedFile& staged, const FileCheck* check,
                                 const std::atomic<bool>& cancel, const PatchCallbacks& callbacks);
    bool PauseUnlessCancelled(const std::atomic<bool>& cancel) const;
    // One fileProgress report with the pass's figures as they stand now.
    void ReportFileProgress(const PatchCallbacks& callbacks, int percent, const std::wstring& relPath) const;
    std::wstring BuildUrlOn(size_t server, const std::wstring& relPath) const;
    // Makes `server` the pass's current choice unless a parallel download has
    // already moved further; true when it moved.
    bool AdvanceServer(size_t server);
    // The pass's result for a transfer that failed, remembered for the report.
    PatchResult Conclude(const TransferResult& failed);
    PatchResult DownloadSelfUpdate(const std::atomic<bool>& cancel, const PatchCallbacks& callbacks,
                                   const FileCheck* check);
    // The list's own lines judged against the configured key; logs refusals.
    bool AcceptList(const std::string& text, const std::wstring& url);
    // mirrors.cpp: the list against the freshness object of the mirror it
    // came from and the newest serial the probe saw; logs refusals.
    bool ListMatchesProbe(const std::string& text, const std::wstring& url);

    LauncherConfig config;
    std::wstring baseDir;  // always ends in a backslash
    Http http;
    std::wstring selfUpdatePath;  // where the new launcher was written
    // How the last pass ended (see LastUrl); written only by the worker.
    std::wstring lastUrl;
    std::wstring writeFailedPath;
    uint32_t writeError = 0;
    uint64_t diskBytesNeeded = 0;
    std::vector<std::wstring> servers;  // base URLs, each ending in '/'
    std::vector<std::wstring> configured;  // every server; a pass leaves out the ones offering older lists
    // The probe's findings for the running pass: each mirror's freshness
    // object (serial, list SHA-256) by base URL, and the newest serial on offer.
    std::map<std::wstring, std::pair<int64_t, std::string>> freshClaims;
    int64_t freshestSerial = -1;
    std::set<std::wstring> stalledServers;  // stalled a transfer before; guarded by stateLock
    // Guards currentServer while downloads run in parallel; the server list
    // itself only changes between them.
    mutable std::mutex stateLock;
    size_t currentServer = 0;
    std::atomic<int64_t> bytesReceived{0};
    uint64_t runStartTick = 0;
    // The running pass's cap, shared by all its connections; null between passes.
    std::shared_ptr<RateLimiter> cap;
    // Set while a pass with several connections runs (written only before
    // its transfers start and after they end): only very large files then
    // hash on a helper thread.
    bool inParallelPass = false;
    std::string listKey;         // UTF-8 of config.listKey, empty: lists are not checked
    int64_t highestSerial = -1;  // for listKey, as far as this patcher knows
    bool listExpired = false;    // this pass refused a list only for its expiry
    SerialStore serialStore;
    Seams seams;
};

// Host part of a URL (port kept): after the first "://" up to the next '/'.
std::wstring HostOf(const std::wstring& url);

// Keeps A-Z a-z 0-9 - . _ ~ / and writes every other byte as %XX.
std::string PercentEncode(const std::string& utf8);

// True when the primary server's maintenance file says "true" (any case,
// blanks around it allowed); any failure means no maintenance.
bool IsMaintenanceActive(const LauncherConfig& config);

}  // namespace vr

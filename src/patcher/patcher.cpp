#include "patcher/patcher.h"

#include <windows.h>

#include "patcher/patch_list.h"
#include "patcher/staged_file.h"
#include "platform/folders.h"
#include "text/text.h"

namespace vr {
namespace {

void SleepFor(uint32_t milliseconds) { Sleep(milliseconds); }

int64_t RealUnixNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return FileTimeTicksToUnix((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

}  // namespace

Patcher::Seams::Seams()
    : pause(SleepFor),
      roamingFolder(RoamingAppDataFolder),
      unixNow(RealUnixNow),
      freeDiskBytes(FreeDiskBytes),
      probeLatency([](const std::wstring&, int64_t measuredMs) { return measuredMs; }) {}

Patcher::Patcher(const LauncherConfig& config, std::wstring baseDir, Seams seams)
    : config(config),
      baseDir(std::move(baseDir)),
      http(kClientUserAgent),
      listKey(TrimBlanks(WideToUtf8(config.listKey))),
      seams(std::move(seams)) {
    if (this->baseDir.empty() || this->baseDir.back() != L'\\') this->baseDir += L'\\';
    servers = config.mirrors;
    if (servers.empty()) servers.push_back(config.serverUrl);
    for (std::wstring& server : servers) {
        if (server.empty() || server.back() != L'/') server += L'/';
    }
    configured = servers;
    http.SetStallRule({this->seams.stallWindowMs, this->seams.stallMinBytes});
}

std::wstring Patcher::BuildUrl(const std::wstring& relPath) const { return BuildUrlOn(CurrentServer(), relPath); }

std::wstring Patcher::BuildUrlOn(size_t server, const std::wstring& relPath) const {
    std::wstring path = relPath;
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    const std::wstring encoded = Utf8ToWide(PercentEncode(WideToUtf8(path)));
    const std::wstring base = server < servers.size() ? servers[server] : std::wstring();
    return base + encoded + L".gz";
}

bool Patcher::AdvanceServer(size_t server) {
    std::lock_guard<std::mutex> guard(stateLock);
    if (currentServer >= server) return false;
    currentServer = server;
    return true;
}

std::wstring HostOf(const std::wstring& url) {
    const size_t scheme = url.find(L"://");
    const size_t start = scheme == std::wstring::npos ? 0 : scheme + 3;
    const size_t end = url.find(L'/', start);
    return url.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::string PercentEncode(const std::string& utf8) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(utf8.size() + 8);
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~' || c == '/';
        if (keep) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

}  // namespace vr

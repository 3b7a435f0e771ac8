#include "bridge/discord.h"

#include "net/http.h"
#include "platform/log.h"
#include "text/json.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr wchar_t kUserAgent[] = L"Mozilla/5.0 (Windows NT 10.0; Win64; x64) Veltrune";
// Real widgets are a few KiB; the body is held whole and copied into the event.
constexpr uint64_t kMaxWidgetBytes = 1u << 20;

}  // namespace

void FetchDiscordWidget(DiscordFetchJob job) {
    const std::wstring url = job.apiBase + job.guildId + L"/widget.json";
    const Http http(kUserAgent);
    std::string body;
    const HttpStatus status = http.GetBytes(url, body, nullptr, kMaxWidgetBytes);

    JsonWriter w;
    AddString(w, "evt", "discord");
    if (status == HttpStatus::Aborted) {
        LogLine("Discord: widget larger than 1 MiB; refused");
        AddBool(w, "error", true);
    } else if (status == HttpStatus::Ok && !body.empty()) {
        LogLine("Discord: widget fetched");
        // The page parses the document itself; we never look inside it.
        AddString(w, "json", body);
    } else {
        LogLine("Discord: widget fetch failed (is the server widget enabled?)");
        AddBool(w, "error", true);
    }
    if (job.host) job.host->PostToPage(Utf8ToWide(FinishObject(w)));
}

}  // namespace vr

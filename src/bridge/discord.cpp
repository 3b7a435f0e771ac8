#include "bridge/discord.h"

#include "net/http.h"
#include "platform/log.h"
#include "text/json.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr wchar_t kUserAgent[] = L"Mozilla/5.0 (Windows NT 10.0; Win64; x64) Veltrune";

}  // namespace

void FetchDiscordWidget(DiscordFetchJob job) {
    const std::wstring url = job.apiBase + job.guildId + L"/widget.json";
    const Http http(kUserAgent);
    std::string body;
    const HttpStatus status = http.GetBytes(url, body, nullptr);

    JsonWriter w;
    AddString(w, "evt", "discord");
    if (status == HttpStatus::Ok && !body.empty()) {
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

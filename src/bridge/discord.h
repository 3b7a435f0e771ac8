#pragma once
// The community panel's data: Discord's public widget document for the
// configured guild, fetched on a job thread and forwarded to the page as is.
#include <memory>
#include <string>

#include "host/host_actions.h"

namespace vr {

inline constexpr wchar_t kDiscordApiBase[] = L"https://discord.com/api/guilds/";

struct DiscordFetchJob {
    std::wstring guildId;                // as configured: not trimmed, encoded or checked
    std::shared_ptr<IHostActions> host;  // a HostLink: silent once the bridge is gone
    std::wstring apiBase = kDiscordApiBase;
};

// The job thread's body: one GET, one log line, then exactly one "discord"
// event ({"evt":"discord","json":<body as a string>} or {"evt":"discord","error":true}).
void FetchDiscordWidget(DiscordFetchJob job);

}  // namespace vr

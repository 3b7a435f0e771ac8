#pragma once
// Every launcher setting: built-in defaults overridden key by key by an
// optional Veltrune.ini beside the executable. Read once at start-up.
#include <string>

#include "platform/launcher_config.h"

namespace vr {

LauncherConfig LoadLauncherConfig(const std::wstring& exeDir);

}  // namespace vr

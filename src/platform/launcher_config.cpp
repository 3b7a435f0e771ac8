#include "platform/launcher_config.h"

#include "platform/paths.h"

namespace vr {

LauncherConfig::LauncherConfig()
    : launcherVersion(L"v1.0.0"),
      serverUrl(L"https://patch.veltrune.example/Patch/"),
      patchVersion(29),
      mirrors{L"https://mirror.veltrune.example/patch/", L"https://patch.veltrune.example/Patch/"},
      listFile(L"list.txt"),
      maintFile(L"MaintanenceCheck.txt"),
      newLauncher(L"newLauncher.exe"),
      updaterExe(L"updater.exe"),
      connections(6),
      maxKiBps(0),
      listMinSerial(0),
      appDataFolderName(L"Quorvane"),
      newsUrl(L"https://www.veltrune.example/news.php"),
      rankingUrl(L"https://www.veltrune.example/rankings.php"),
      newsContentSelector(L".content-page"),
      patcherUrl(L"https://www.veltrune.example/patcher/index.html"),
      assetsHost(L"client-assets"),
      assetsFolder(L"Config\\Assets"),
      gameExe(L"quorvane.exe"),
      startupSalt(L"lumaris"),
      gameConfigFile(L"Config\\Settings.ini"),
      useNewConfigFormat(false),
      register_(L"https://www.veltrune.example/register.php"),
      discord(L"https://discord.gg/veltrune"),
      youtube(L"https://www.youtube.com/@veltrune"),
      facebook(L"https://www.facebook.com/veltrune"),
      roadmap(L"https://www.veltrune.example/roadmap.php"),
      gallery(L"https://www.veltrune.example/gallery.php"),
      wiki(L"https://www.veltrune.example/wiki.php"),
      faq(L"https://www.veltrune.example/faqs.php"),
      guildId(L"1187340012345678901"),
      allowedExecutables{L"quorvane.exe", L"updater.exe", L"explorer.exe"} {}

std::wstring GameSettingsPath(const LauncherConfig& config, const std::wstring& exeDir) {
    return JoinPath(exeDir, config.gameConfigFile);
}

}  // namespace vr

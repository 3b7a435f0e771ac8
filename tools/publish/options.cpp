#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "names.h"
#include "net/base64.h"
#include "patcher/list_rules.h"
#include "state.h"

namespace vr::publish {

const char* const kUsage =
    "usage: veltrune-publish --game DIR --out DIR --version N [options]\n"
    "       veltrune-publish --out DIR --maintenance on|off [--maint-name NAME]\n"
    "       veltrune-publish --verify DIR [--key PUBLIC] [--list-name NAME] [--launcher-name NAME] [--jobs N]\n"
    "       veltrune-publish keygen --out KEYFILE\n"
    "\n"
    "Writes what a patch server serves: every file of the game folder as its\n"
    "relative path plus \".gz\", then the list (NAME.gz) naming each file with its\n"
    "time and size and the launcher build N that players must run.\n"
    "\n"
    "  --game DIR            the game folder to publish\n"
    "  --out DIR             the folder the web server serves (created if missing)\n"
    "  --version N           launcher build number written on the list's version line\n"
    "  --list-name NAME      name of the list (default list.txt)\n"
    "  --launcher FILE       also publish FILE as the replacement launcher\n"
    "  --launcher-name NAME  its name on the server (default newLauncher.exe)\n"
    "  --maintenance on|off  write the maintenance flag file\n"
    "  --maint-name NAME     its name (default MaintanenceCheck.txt)\n"
    "  --prune               remove objects that are no longer listed\n"
    "  --chunks-only         files of 16 MiB or more get chunks only, no whole\n"
    "                        object (launchers without chunk support cannot\n"
    "                        patch them from this folder)\n"
    "  --keep N              keep the chunks of the N lists before this one\n"
    "                        (default 3); older ones are pruned\n"
    "  --jobs N              compression threads (default: one per core)\n"
    "  --level N             gzip level 1-9 (default 6)\n"
    "  --sign KEYFILE        sign the list with the private key keygen wrote\n"
    "  --serial N            the list's serial, at most 18 digits (default: the\n"
    "                        publish time in Unix seconds, and always above the\n"
    "                        serial it replaces)\n"
    "  --expires DAYS        launchers refuse the signed list after DAYS days\n"
    "                        (default 30)\n"
    "  --no-expires          a signed list that never expires\n"
    "  --verify DIR          inflate every listed object, check its size and hash\n"
    "  --key PUBLIC          with --verify: also check the list's signature against\n"
    "                        the public key (the base64 line keygen printed)\n"
    "\n"
    "keygen writes a new private key to KEYFILE (never over an existing file,\n"
    "readable by its owner only) and prints its public key for Veltrune.ini.\n";

namespace {

bool ParseInt(const std::string& text, long long min, long long max, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max && (text[0] != '+' && text[0] != ' ');
}

// Stores the value of one flag that takes a value; false with the reason
// when the value is not usable.
bool TakeValue(const std::string& a, const std::string& v, Options& o, std::string& error) {
    long long n = 0;
    if (a == "--game") o.game = v;
    else if (a == "--out") o.out = v;
    else if (a == "--verify") o.verify = v;
    else if (a == "--launcher") o.launcher = v;
    else if (a == "--list-name") o.listName = v;
    else if (a == "--launcher-name") o.launcherName = v;
    else if (a == "--maint-name") o.maintName = v;
    else if (a == "--sign") o.signKey = v;
    else if (a == "--key") {
        if (!DecodeBase64(v, o.verifyKey) || o.verifyKey.size() != 64) {
            error = "--key needs the public key keygen printed (base64 of 64 bytes)";
            return false;
        }
    } else if (a == "--serial") {
        if (!ParseInt(v, 0, kMaxListNumber, n)) {
            error = "--serial needs a whole number from 0 to 999999999999999999 (what launchers read)";
            return false;
        }
        o.serial = n;
    } else if (a == "--expires") {
        if (!ParseInt(v, 1, 3650, n)) {
            error = "--expires needs a number of days from 1 to 3650";
            return false;
        }
        o.expiresDays = static_cast<int>(n);
    } else if (a == "--version") {
        if (!ParseInt(v, 0, INT32_MAX, n)) {
            error = "--version needs a whole number from 0 to 2147483647";
            return false;
        }
        o.version = static_cast<int32_t>(n);
    } else if (a == "--keep") {
        if (!ParseInt(v, 0, 1000, n)) {
            error = "--keep needs a number of lists from 0 to 1000";
            return false;
        }
        o.keepLists = static_cast<int>(n);
    } else if (a == "--jobs") {
        if (!ParseInt(v, 1, 256, n)) {
            error = "--jobs needs a number from 1 to 256";
            return false;
        }
        o.jobs = static_cast<unsigned>(n);
    } else if (a == "--level") {
        if (!ParseInt(v, 1, 9, n)) {
            error = "--level needs a number from 1 to 9";
            return false;
        }
        o.level = static_cast<int>(n);
    } else if (a == "--maintenance") {
        if (v == "on") o.maintenance = 1;
        else if (v == "off") o.maintenance = 0;
        else {
            error = "--maintenance takes on or off";
            return false;
        }
    }
    if (v.empty()) {
        error = a + " needs a non-empty value";
        return false;
    }
    return true;
}

// Once every argument is read: which of the three jobs they ask for, and
// whether they fit it.
bool ChooseMode(Options& o, bool keepGiven, std::string& error) {
    for (const auto& [flag, name] : {std::pair<const char*, const std::string*>{"--list-name", &o.listName},
                                     {"--launcher-name", &o.launcherName},
                                     {"--maint-name", &o.maintName}}) {
        if (const std::string why = ServerNameProblem(*name); !why.empty()) {
            error = std::string(flag) + " " + *name + ": " + why;
            return false;
        }
    }

    const bool signing = !o.signKey.empty() || o.serial >= 0 || o.expiresDays > 0 || o.noExpires;
    const bool chunking = o.chunksOnly || keepGiven;
    if (!o.verify.empty()) {
        if (!o.game.empty() || !o.out.empty() || o.version >= 0 || !o.launcher.empty() || o.maintenance >= 0 ||
            o.prune || signing || chunking) {
            error = "--verify takes only --key, --list-name, --launcher-name and --jobs";
            return false;
        }
        o.mode = Mode::Verify;
        return true;
    }
    if (!o.verifyKey.empty()) {
        error = "--key goes with --verify (publishing signs with --sign KEYFILE)";
        return false;
    }
    if ((o.expiresDays > 0 || o.noExpires) && o.signKey.empty()) {
        error = "--expires and --no-expires need --sign: only a signed list can be trusted to expire";
        return false;
    }
    if (o.expiresDays > 0 && o.noExpires) {
        error = "--expires and --no-expires exclude each other";
        return false;
    }
    if (o.out.empty()) {
        error = "--out is required";
        return false;
    }
    if (o.game.empty()) {
        if (o.maintenance < 0) {
            error = "--game is required (or --maintenance alone)";
            return false;
        }
        if (o.version >= 0 || !o.launcher.empty() || o.prune || signing || chunking) {
            error = "--version, --launcher, --prune, --chunks-only, --keep, --sign, --serial and --expires need --game";
            return false;
        }
        o.mode = Mode::Maintenance;
        return true;
    }
    if (o.version < 0) {
        error = "--version is required with --game";
        return false;
    }
    const auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    if (lower(o.listName) == lower(o.launcherName) || lower(o.maintName) == lower(o.listName + ".gz") ||
        lower(o.maintName) == lower(o.launcherName + ".gz") || o.maintName == kStateFileName) {
        error = "the list, the launcher and the maintenance flag need different names";
        return false;
    }
    o.mode = Mode::Publish;
    return true;
}

}  // namespace

bool ParseArgs(const std::vector<std::string>& args, Options& o, std::string& error) {
    if (!args.empty() && args[0] == "keygen") {
        if (args.size() != 3 || args[1] != "--out" || args[2].empty()) {
            error = "keygen takes exactly --out KEYFILE";
            return false;
        }
        o.mode = Mode::Keygen;
        o.keyOut = args[2];
        return true;
    }
    static const char* const withValue[] = {"--game",     "--out",           "--version",     "--list-name",
                                            "--launcher", "--launcher-name", "--maintenance", "--maint-name",
                                            "--jobs",     "--level",         "--verify",      "--sign",
                                            "--serial",   "--expires",       "--key",         "--keep"};
    bool keepGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.mode = Mode::Help;
            return true;
        }
        if (a == "--prune" || a == "--chunks-only" || a == "--no-expires") {
            (a == "--prune" ? o.prune : a == "--chunks-only" ? o.chunksOnly : o.noExpires) = true;
            continue;
        }
        keepGiven = keepGiven || a == "--keep";
        bool known = false;
        for (const char* k : withValue) known = known || a == k;
        if (!known) {
            error = "unknown argument: " + a;
            return false;
        }
        if (i + 1 >= args.size()) {
            error = a + " needs a value";
            return false;
        }
        if (!TakeValue(a, args[++i], o, error)) return false;
    }
    return ChooseMode(o, keepGiven, error);
}

}  // namespace vr::publish

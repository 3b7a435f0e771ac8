#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "names.h"
#include "state.h"

namespace vr::publish {

const char* const kUsage =
    "usage: veltrune-publish --game DIR --out DIR --version N [options]\n"
    "       veltrune-publish --out DIR --maintenance on|off [--maint-name NAME]\n"
    "       veltrune-publish --verify DIR [--list-name NAME] [--launcher-name NAME] [--jobs N]\n"
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
    "  --jobs N              compression threads (default: one per core)\n"
    "  --level N             gzip level 1-9 (default 6)\n"
    "  --verify DIR          inflate every listed object and check its size\n";

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
    else if (a == "--version") {
        if (!ParseInt(v, 0, INT32_MAX, n)) {
            error = "--version needs a whole number from 0 to 2147483647";
            return false;
        }
        o.version = static_cast<int32_t>(n);
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
bool ChooseMode(Options& o, std::string& error) {
    for (const auto& [flag, name] : {std::pair<const char*, const std::string*>{"--list-name", &o.listName},
                                     {"--launcher-name", &o.launcherName},
                                     {"--maint-name", &o.maintName}}) {
        if (const std::string why = ServerNameProblem(*name); !why.empty()) {
            error = std::string(flag) + " " + *name + ": " + why;
            return false;
        }
    }

    if (!o.verify.empty()) {
        if (!o.game.empty() || !o.out.empty() || o.version >= 0 || !o.launcher.empty() || o.maintenance >= 0 ||
            o.prune) {
            error = "--verify takes only --list-name, --launcher-name and --jobs";
            return false;
        }
        o.mode = Mode::Verify;
        return true;
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
        if (o.version >= 0 || !o.launcher.empty() || o.prune) {
            error = "--version, --launcher and --prune need --game";
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
    static const char* const withValue[] = {"--game", "--out", "--version", "--list-name", "--launcher",
                                            "--launcher-name", "--maintenance", "--maint-name", "--jobs",
                                            "--level", "--verify"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.mode = Mode::Help;
            return true;
        }
        if (a == "--prune") {
            o.prune = true;
            continue;
        }
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
    return ChooseMode(o, error);
}

}  // namespace vr::publish

#include "ShowOptions.h"

#include <cstdlib>

const char kShowUsage[] =
    "Usage: dravik-show [OPTION]... FILE\n"
    "Shows what a driver card download file (.ddd) holds: the card and its holder,\n"
    "the driver's days with their activities and totals, the vehicles, places,\n"
    "events, faults and controls, and whether the signatures are valid. Both card\n"
    "generations; for a second-generation card the lists come from its\n"
    "second-generation part.\n"
    "\n"
    "  --json          print one JSON object (times in UTC, ISO 8601) instead of text\n"
    "  --days N        keep only the last N days\n"
    "  --pdf OUT.pdf   also write the printable report (A4: the card, the day chart,\n"
    "                  the tables and the infringements) to OUT.pdf; in Croatian\n"
    "                  where the system's language is, else in English\n"
    "  --infringements print only the driving and rest rules' findings (Regulation\n"
    "                  (EC) No 561/2006) over the days kept, as text\n"
    "  --unknown-as rest|work\n"
    "                  count time with the card out and nothing entered by hand as\n"
    "                  rest (the default) or as work when judging the rules\n"
    "  --root FILE     the root key file that signatures are checked against\n"
    "                  (default: EC_PK.bin beside the program, then in the user's\n"
    "                  configuration folder; without one they are not checked)\n"
    "  --root-g2 FILE  the second generation's root certificate for the G2 part\n"
    "  --help          show this help\n"
    "  --version       show the version\n"
    "\n"
    "Exit status: 0 the file was shown whole; 1 it was shown, but some of its\n"
    "records could not be decoded (each is told on standard error); 2 a usage\n"
    "error, a file that cannot be read, or one that holds no card download record.\n";

std::string ParseShowOptions(const std::vector<std::string>& args, TShowOptions& options) {
    const std::size_t count = args.size();
    bool haveFile = false;
    bool onlyFiles = false;
    for (std::size_t i = 1; i < count; ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::optional<std::string>& into, const char* what) -> std::string {
            if (i + 1 >= count || args[i + 1].empty()) {
                return arg + " needs " + what;
            }
            into = args[++i];
            return {};
        };
        std::string error;
        if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
            if (haveFile) {
                return "give exactly one file";
            }
            options.File = arg;
            haveFile = true;
        } else if (arg == "--") {
            onlyFiles = true;
        } else if (arg == "--help" || arg == "-h") {
            options.Help = true;
        } else if (arg == "--version") {
            options.Version = true;
        } else if (arg == "--json") {
            options.Json = true;
        } else if (arg == "--infringements") {
            options.Infringements = true;
        } else if (arg == "--unknown-as") {
            std::optional<std::string> as;
            if (!value(as, "rest or work").empty() || (*as != "rest" && *as != "work")) {
                return "--unknown-as needs rest or work";
            }
            options.UnknownAsWork = *as == "work";
        } else if (arg == "--pdf") {
            error = value(options.Pdf, "a file name");
        } else if (arg == "--root") {
            error = value(options.Root, "a file name");
        } else if (arg == "--root-g2") {
            error = value(options.RootG2, "a file name");
        } else if (arg == "--days") {
            std::optional<std::string> text;
            char* end = nullptr;
            const long days = value(text, "").empty() ? std::strtol(text->c_str(), &end, 10) : -1;
            if (!text || *end != '\0' || days < 0 || days > 100000) {
                return "--days needs a number of days from 0 to 100000";
            }
            options.Days = static_cast<int>(days);
        } else {
            return "unknown option: " + arg;
        }
        if (!error.empty()) {
            return error;
        }
    }
    if (!haveFile && !options.Help && !options.Version) {
        return "no file given";
    }
    return {};
}

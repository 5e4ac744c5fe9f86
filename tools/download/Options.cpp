#include "Options.h"

#include <cstdlib>

const char kUsage[] =
    "Usage: dravik-download [OPTION]...\n"
    "Downloads the driver card in a PC/SC reader into a card download file, files\n"
    "it in the archive under its download name, as the window does, and prints a\n"
    "one-line account of the download.\n"
    "\n"
    "  --reader NAME    the reader to read (default: the first reader with a card)\n"
    "  --output FILE    write the card download file to FILE instead of the archive\n"
    "  --output FOLDER  file the download under its download name in FOLDER (an\n"
    "                   existing folder, or a path ending in / or \\)\n"
    "                   (default: the window's archive folder, <Documents>/Dravik)\n"
    "  --wait SECONDS   wait this long for a card to be inserted\n"
    "  --watch          keep running: download every driver card inserted into any\n"
    "                   reader, once per insertion, all readers at once, until\n"
    "                   interrupted (Ctrl+C or SIGTERM); --output must then be a\n"
    "                   folder\n"
    "  --json           print one JSON object per download on standard output, and\n"
    "                   nothing else there\n"
    "  --verbose        print the whole log of the download on standard output\n"
    "  --log FILE       write the whole log of the download to FILE (appended to\n"
    "                   with --watch)\n"
    "  --list           list the readers and their card states, and download nothing\n"
    "  --no-card-update do not write the download time to the card (EF Card_Download)\n"
    "  --root FILE      the root key file that signatures are checked against\n"
    "                   (default: EC_PK.bin beside the program, then in the user's\n"
    "                   configuration folder; without one they are not checked)\n"
    "  --root-g2 FILE   the second generation's root certificate that the G2 part of\n"
    "                   a second-generation card's download is checked against\n"
    "                   (default: ERCA_Gen2_Root_Certificate.bin, \"ERCA Gen2 Root\n"
    "                   Certificate.bin\", ERCA-G2.bin or EC_PK_G2.bin where EC_PK.bin\n"
    "                   is looked for; without one that part is not checked)\n"
    "  --store STORE    the register that every download filed in the archive is\n"
    "                   recorded in: a PostgreSQL server (postgresql://user@host/db\n"
    "                   or service=NAME; the password from ~/.pgpass or a service\n"
    "                   file), or a SQLite file (default: dravik.sqlite in the\n"
    "                   archive folder); a register that cannot be reached is said\n"
    "                   on standard error, and the download is recorded later\n"
    "  --help           show this help\n"
    "  --version        show the version\n"
    "\n"
    "Exit status: 0 the card was read whole; 1 no driver card was read (no card\n"
    "number, or one of blanks only); 2 a usage, PC/SC or file error, or a\n"
    "download that is not whole; 3 the card was read whole and kept, but its\n"
    "signatures were checked against the root key and are not valid.\n"
    "A card that does not sign every signed file leaves the download whole but not\n"
    "signed by the card: the program says so and exits 0.\n"
    "With --watch: 0 when it was stopped by a signal, 2 on a usage or PC/SC error.\n"
    "A second Ctrl+C ends the program at once.\n"
    "\n"
    "Each download is written to a hidden working file of its own beside the\n"
    "file it is for, and takes that file's name only once it is whole on disk; the\n"
    "card learns the download date (EF Card_Download) only after that. With\n"
    "--output FILE, a download that is not whole leaves FILE as it was and is kept\n"
    "as NAME_nepotpuno.ddd beside it. Working files that a program ended by force\n"
    "leaves behind are removed at the next start.\n";

std::string ParseOptions(const std::vector<std::string>& args, TOptions& options) {
    const std::size_t count = args.size();
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
        if (arg == "--help" || arg == "-h") {
            options.Help = true;
        } else if (arg == "--version") {
            options.Version = true;
        } else if (arg == "--list") {
            options.List = true;
        } else if (arg == "--no-card-update") {
            options.NoCardUpdate = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.Verbose = true;
        } else if (arg == "--json") {
            options.Json = true;
        } else if (arg == "--watch") {
            options.Watch = true;
        } else if (arg == "--root") {
            error = value(options.Root, "a file name");
        } else if (arg == "--root-g2") {
            error = value(options.RootG2, "a file name");
        } else if (arg == "--store") {
            error = value(options.Store, "a PostgreSQL URL or a SQLite file");
        } else if (arg == "--log") {
            error = value(options.Log, "a file name");
        } else if (arg == "--reader") {
            error = value(options.Reader, "a reader name");
        } else if (arg == "--output") {
            error = value(options.Output, "a file or folder name");
        } else if (arg == "--wait") {
            std::optional<std::string> text;
            char* end = nullptr;
            const long seconds =
                value(text, "").empty() ? std::strtol(text->c_str(), &end, 10) : -1;
            if (!text || *end != '\0' || seconds < 0 || seconds > 86400) {
                return "--wait needs a number of seconds from 0 to 86400";
            }
            options.WaitSeconds = static_cast<int>(seconds);
        } else {
            return "unknown argument: " + arg;
        }
        if (!error.empty()) {
            return error;
        }
    }
    if (options.Verbose && options.Json) {
        return "--verbose and --json both want standard output; use --log FILE with --json";
    }
    if (options.List && options.Json) {
        return "--list prints no JSON; --json is for downloads";
    }
    if (options.Watch && (options.List || options.WaitSeconds > 0)) {
        return "--watch waits by itself and takes neither --list nor --wait";
    }
    return {};
}

#include "ArchiveOptions.h"

#include <cstdlib>

const char kArchiveUsage[] =
    "Usage: dravik-archive [--store STORE] COMMAND [ARGUMENT]...\n"
    "The office register of driver card downloads: who was downloaded when, and\n"
    "whose card is due (28 days after its last whole download).\n"
    "\n"
    "Commands:\n"
    "  list [--json] [--due DAYS]\n"
    "                   one line per driver card, the latest due date first;\n"
    "                   --json prints one JSON array of {\"cardNumber\", \"driver\",\n"
    "                   \"lastDownload\", \"due\", \"status\" (ok, due-soon: within 7\n"
    "                   days, overdue), \"downloads\", \"lastWhole\"}; --due DAYS shows\n"
    "                   only the cards due within DAYS days (overdue ones too)\n"
    "  import PATH...   adds card download files, or folders searched for .ddd\n"
    "                   files; files that are not a driver card's download are\n"
    "                   reported and skipped, files recorded before are skipped\n"
    "  export CARD_NUMBER [--all] OUTDIR\n"
    "                   writes the card's newest download (with --all: every one)\n"
    "                   into OUTDIR under its download name, byte for byte\n"
    "\n"
    "Options:\n"
    "  --store STORE    the register: a PostgreSQL server (postgresql://user@host/db\n"
    "                   or service=NAME; the password comes from libpq's password\n"
    "                   file ~/.pgpass or a service file, TLS from sslmode=...), or\n"
    "                   a SQLite file (default: dravik.sqlite in the window's archive\n"
    "                   folder, <Documents>/Dravik)\n"
    "  --help           show this help\n"
    "  --version        show the version\n"
    "\n"
    "Exit status: 0 done; 1 import skipped a file that is not a driver card's\n"
    "download or cannot be read, or export found no download of the card;\n"
    "2 a usage error, a register that cannot be reached, or a file that cannot be\n"
    "written.\n";

std::string ParseArchiveOptions(const std::vector<std::string>& args, TArchiveOptions& options) {
    using TCommand = TArchiveOptions::TCommand;
    const std::size_t count = args.size();
    bool onlyArguments = false;
    for (std::size_t i = 1; i < count; ++i) {
        const std::string& arg = args[i];
        if (onlyArguments || arg.empty() || arg[0] != '-' || arg == "-") {
            if (options.Command == TCommand::None) {
                if (arg == "list") {
                    options.Command = TCommand::List;
                } else if (arg == "import") {
                    options.Command = TCommand::Import;
                } else if (arg == "export") {
                    options.Command = TCommand::Export;
                } else {
                    return "unknown command: " + arg;
                }
            } else {
                options.Arguments.push_back(arg);
            }
        } else if (arg == "--") {
            onlyArguments = true;
        } else if (arg == "--help" || arg == "-h") {
            options.Help = true;
        } else if (arg == "--version") {
            options.Version = true;
        } else if (arg == "--store") {
            if (i + 1 >= count || args[i + 1].empty()) {
                return "--store needs a PostgreSQL URL or a SQLite file";
            }
            options.Store = args[++i];
        } else if (arg == "--json" && options.Command == TCommand::List) {
            options.Json = true;
        } else if (arg == "--due" && options.Command == TCommand::List) {
            char* end = nullptr;
            const long days = i + 1 < count ? std::strtol(args[i + 1].c_str(), &end, 10) : -1;
            if (i + 1 >= count || args[i + 1].empty() || *end != '\0' || days < 0 || days > 36500) {
                return "--due needs a number of days from 0 to 36500";
            }
            options.DueDays = static_cast<int>(days);
            ++i;
        } else if (arg == "--all" && options.Command == TCommand::Export) {
            options.All = true;
        } else {
            return "unknown argument: " + arg;
        }
    }
    if (options.Help || options.Version) {
        return {};
    }
    switch (options.Command) {
    case TCommand::None:
        return "a command is needed: list, import or export";
    case TCommand::List:
        if (!options.Arguments.empty()) {
            return "list takes no argument: " + options.Arguments.front();
        }
        break;
    case TCommand::Import:
        if (options.Arguments.empty()) {
            return "import needs a file or folder";
        }
        break;
    case TCommand::Export:
        if (options.Arguments.size() != 2) {
            return "export needs a card number and a folder";
        }
        break;
    }
    return {};
}

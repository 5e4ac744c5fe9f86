// dravik-archive's command line: the command, its arguments and the help.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TArchiveOptions {
    enum class TCommand { None, List, Import, Export };
    TCommand Command = TCommand::None;
    std::optional<std::string> Store;
    bool Json = false;
    std::optional<int> DueDays;
    bool All = false;
    // import: the files and folders; export: the card number, then OUTDIR.
    std::vector<std::string> Arguments;
    bool Help = false;
    bool Version = false;
};

extern const char kArchiveUsage[];

// Parses the arguments after the program's name; returns an error text,
// empty on success.
std::string ParseArchiveOptions(const std::vector<std::string>& args, TArchiveOptions& options);

// dravik-download's command line: what it asks for, and its help.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TOptions {
    std::optional<std::string> Reader;
    // A file, or a folder (an existing one, or a path ending in a separator)
    // that takes the download under its download name.
    std::optional<std::string> Output;
    std::optional<std::string> Log;
    std::optional<std::string> Root;
    std::optional<std::string> RootG2;
    std::optional<std::string> Store;
    int WaitSeconds = 0;
    bool List = false;
    bool Help = false;
    bool Version = false;
    bool NoCardUpdate = false;
    bool Verbose = false;
    bool Json = false;
    bool Watch = false;
};

extern const char kUsage[];

// Parses the arguments after the program's name; returns an error text, empty
// on success.
std::string ParseOptions(const std::vector<std::string>& args, TOptions& options);

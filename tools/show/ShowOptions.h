// dravik-show's command line: what it asks for, and its help.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TShowOptions {
    std::string File;
    std::optional<std::string> Root;   // the first generation's root key file
    std::optional<std::string> RootG2; // the second generation's root certificate
    std::optional<int> Days;           // keep the last N days
    std::optional<std::string> Pdf;    // the report written to this file
    bool Json = false;
    bool Infringements = false; // the rules' findings as text
    bool UnknownAsWork = false; // card out, nothing entered: work instead of rest
    bool Help = false;
    bool Version = false;
};

extern const char kShowUsage[];

// Exit statuses, as the help tells them.
inline constexpr int kShowExitShown = 0;
inline constexpr int kShowExitErrors = 1;
inline constexpr int kShowExitFailure = 2;

// Parses the arguments after the program's name; returns an error text, empty
// on success.
std::string ParseShowOptions(const std::vector<std::string>& args, TShowOptions& options);

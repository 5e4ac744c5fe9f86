// The account of one download: the line people read and the JSON object
// scripts read, from the same facts.
#pragma once

#include "main/CardSession.h"

#include <cstdint>
#include <string>
#include <vector>

// A whole download whose signatures were checked against the root key and
// found not valid: kept, but not to be trusted.
constexpr int kExitSignaturesNotValid = 3;

struct TFileReport {
    std::uint16_t Fid = 0;
    std::string Name;
    TFileStatus Status = TFileStatus::Read;
    TFileSigning Signing = TFileSigning::NotSigned;
};

enum class TSignatures { Valid, NotValid, NotChecked, NotSigned };

struct TDownloadReport {
    std::string Reader;
    std::string CardNumber; // UTF-8; empty when no card number was read
    std::string Driver;     // DriverDisplay
    int Generation = 1;
    std::vector<TFileReport> Files;
    TSignatures Signatures = TSignatures::NotChecked;
    std::string Path; // where the file is; empty when none was kept
    bool Whole = false;
    long long Milliseconds = 0;
    int ExitStatus = 0;
    std::string Error; // why it failed, for stderr; empty when it did not
    // Nothing was read: the card could not be reached (still powering up,
    // held by another program). --watch tries the insertion again.
    bool Unreached = false;
};

// "valid", "not valid", "not checked", "not signed".
const char* SignaturesWord(TSignatures signatures);
// "read", "partial", "not read", "not on the card".
const char* StatusWord(TFileStatus status);

// One line for people, without its line break. Card bytes that are control
// characters are shown as '?': they would steer the terminal.
std::string AccountLine(const TDownloadReport& report);

// One JSON object on one line, without its line break.
std::string JsonObject(const TDownloadReport& report);

// `text` as a JSON string with its quotes: control characters, quotes and
// backslashes escaped, and bytes that are not UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text);

// Where a download goes: the archive (the window's folder, or --output
// FOLDER) under its download name, or the one file --output names; and the
// working file it is written to first. Every file appears under its final
// name only once it is whole on disk.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

struct TPlacement {
    // Files the download under its download name; empty with File.
    std::string ArchiveFolder;
    // --output FILE: replaced by the finished download when it is whole.
    std::string File;
    // The file a finished download replaces whole: FILE, or the shared
    // working file "tmp.ddd". Each download writes its own file beside it
    // first.
    std::string WorkingFile;
};

// "cannot <verb> <path>: I/O error <n> (<the system's text>)".
std::string FileErrorText(const std::string& verb, const std::string& path, int errorNumber);

// Whether --output names a folder: one that exists, or a path ending in a
// separator.
bool IsFolderArgument(const std::string& output);

// Chooses the folders for `output` (none: the window's archive folder).
// Throws std::runtime_error with the text for the user when a folder cannot
// be made.
TPlacement ChoosePlacement(const std::optional<std::string>& output);

// A hidden name beside `file`, in its folder, for writing it before it is whole.
std::string TemporaryBeside(const std::string& file);

// Gives `temporary` the name `file`, replacing it. Throws std::runtime_error
// with the text for the user; the temporary file is removed then.
void Publish(const std::string& temporary, const std::string& file);

// A UTF-8 name as a path: Windows' wide file functions get it unchanged.
std::filesystem::path PathOf(const std::string& utf8);

// Removes a file that is no longer wanted; quietly, it may not exist.
void RemoveQuietly(const std::string& file);

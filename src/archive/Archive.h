// The archive of downloads and the working file's folder: naming, the
// temporary-then-rename write and the folder rules, without Qt, so that the
// window and the command-line download keep their files alike. The caller
// says which folders (the window reads them from its settings).
#pragma once

#include <stdexcept>
#include <string>

namespace archive {

// Added to the name of a download that is not whole, so that it is never
// taken for a good one and never takes a whole one's name.
constexpr char kNotWholeSuffix[] = "_nepotpuno";
constexpr char kExtension[] = ".ddd";
// The working file of every download.
constexpr char kWorkingFileName[] = "tmp.ddd";

// A failure to write into the archive or to prepare a folder. what() names the
// path and gives the system's text.
class TError : public std::runtime_error {
public:
    TError(int errorNumber, const std::string& path);
    int ErrorNumber() const { return FErrorNumber; }
    const std::string& Path() const { return FPath; }

private:
    int FErrorNumber;
    std::string FPath;
};

// The system's own text for an error number.
std::string SystemText(int errorNumber);

// The download name as a file name: bytes that a folder on Linux or Windows
// does not take in a name (the separators, control bytes and \:*?"<>|) become
// '_'; the card's bytes never reach another folder. Empty stays empty.
std::string SafeName(const std::string& downloadName);

// "<name>.ddd", "<name>_nepotpuno.ddd" for a download that is not whole, and
// " (n)" before the extension for the n-th file of that name (n > 1).
std::string FileName(const std::string& downloadName, bool whole, int counter = 1);

// Creates `folder` and the folders above it that are missing.
void MakeFolder(const std::string& folder);

// A copy of a file under a temporary name in the archive folder: hidden, and
// without the archive's extension, so that a crash before Commit leaves no
// archive file. The destructor removes a copy that was not committed.
// The bytes of a download held in memory, for a copy of them.
struct TBytes {
    const std::string& Data;
};

class TStagedFile {
public:
    TStagedFile(const std::string& source, const std::string& folder);
    TStagedFile(TBytes bytes, const std::string& folder);
    ~TStagedFile();
    TStagedFile(const TStagedFile&) = delete;
    TStagedFile& operator=(const TStagedFile&) = delete;

    // Gives the copy its name in the archive, never replacing a file there: a
    // name that exists gets the next counter. Returns the full path.
    std::string Commit(const std::string& downloadName, bool whole);
    const std::string& TemporaryPath() const { return FTemporary; }

private:
    std::string FFolder;
    std::string FTemporary;
};

// Copies `source` (the closed working file) into `folder` as FileName(...),
// written whole and flushed to disk before it gets that name. Returns the
// path of the archived file; throws TError.
std::string Save(const std::string& source, const std::string& folder,
                 const std::string& downloadName, bool whole);
// The same for the bytes a download wrote, as the download holds them: what
// is archived is what this download read, whatever became of its file since.
std::string Save(TBytes bytes, const std::string& folder, const std::string& downloadName,
                 bool whole);

// Removes the copies (".dravik-<process>-....part") that a process no longer
// running left in `folder` when it ended between the copy and its naming;
// never one of a process that is running.
void RemoveStaleCopies(const std::string& folder);

// Where the working file goes: beside the program when its folder lets us
// write, otherwise in `dataFolder` (created when missing). Creates nothing
// beside the program.
struct TWorkingFile {
    std::string Path;
    // Not beside the program: the user is told where it is.
    bool InDataFolder = false;
};
TWorkingFile WorkingFilePath(const std::string& programFolder, const std::string& dataFolder);

// Whether this process may create and write files in `folder`.
bool FolderWritable(const std::string& folder);

} // namespace archive

// The card download file: records written straight to the operating system,
// one write per record or chunk, so that the file on disk always ends with the
// last piece written.
//
// Every download writes a working file of its own beside the file it is for
// ("tmp.ddd", or the file --output names): two downloads at once, in one
// process or in two, never write, cut or read back each other's bytes. The
// finished download then takes the target's name whole (written beside,
// renamed), so that a reader of the target sees one download, the last one
// finished, and never a part of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// A failure to create, write or close the card download file. what() is the
// text shown to the user: "File access denied" when the system refuses access,
// otherwise "I/O error " and the system's error number (errno on Linux, the
// GetLastError() code on Windows).
class TFileError : public std::runtime_error {
public:
    explicit TFileError(int errorNumber);
    int ErrorNumber() const { return FErrorNumber; }

private:
    int FErrorNumber;
};

// The user-visible text of a system error number, as TFileError carries it.
std::string FileErrorMessage(int errorNumber);

// The open working file of one download. Others may read it while it is
// written but not write it. On Linux it is created for the owner only; on
// Windows it is opened with sharing for readers only and gets the folder's
// default access rights. Its name is hidden, carries this process's id and
// ends in ".part": RemoveStaleWorkingFiles knows a crashed download's by it.
class TCardDownloadFile {
public:
    // Creates a new working file beside `target`, which is left as it is.
    explicit TCardDownloadFile(const std::string& target);
    // Closes quietly if Close() was not reached (an error is on its way
    // already) and removes the working file unless it was given a name.
    ~TCardDownloadFile();
    TCardDownloadFile(const TCardDownloadFile&) = delete;
    TCardDownloadFile& operator=(const TCardDownloadFile&) = delete;

    void Write(const void* data, std::size_t length);
    void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
    // File identifier, type and 16-bit length, then `data`, in one write.
    void WriteRecord(std::uint16_t fid, std::uint8_t type, std::uint16_t length,
                     const std::string& data = {});
    // Bytes written so far: where the next record's header will lie.
    std::uint64_t Position() const { return FPosition; }
    // Sets the 16-bit length of the record whose header lies at `offset` to
    // `length`, leaving the end of the file where it is: a file whose reading
    // stopped partway is framed by what was written, not by what was announced.
    void SetRecordLength(std::uint64_t offset, std::uint16_t length);
    // Flushes the file to the disk and closes it.
    void Close();

    // What this download wrote, byte for byte as it is in the file: the
    // signature check and the archive copy read it, never the file by name.
    const std::string& Bytes() const { return FBytes; }
    // The working file's own name, or the name it was given.
    const std::string& Path() const { return FPath; }
    // Given a name (or a device written as it is): no longer removed at the end.
    bool Named() const { return FNamed; }

    // After Close(): gives the working file the name `path`, replacing the
    // file there in one step. Throws TFileError.
    void Publish(const std::string& path);
    // After Close(): gives the working file the first name of `stem` + ".ddd",
    // `stem` + " (2).ddd", ... that is free, replacing nothing, and returns it.
    // Throws TFileError.
    std::string Keep(const std::string& stem);

private:
    // The descriptor on Linux, the HANDLE on Windows; -1 when closed.
    std::intptr_t FHandle = -1;
    std::uint64_t FPosition = 0;
    std::string FPath;
    std::string FBytes;
    // Renamed: no longer ours to remove.
    bool FNamed = false;
};

// Removes the working files beside `target` that downloads of processes no
// longer running left behind (a crash, a power cut); never one of a download
// that is running, in this process or another.
void RemoveStaleWorkingFiles(const std::string& target);

// `target`'s path without its extension: "C:\x\tmp" of "C:\x\tmp.ddd".
std::string PathStem(const std::string& target);

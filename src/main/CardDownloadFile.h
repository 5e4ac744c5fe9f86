// The card download file: records written straight to the operating system,
// one write per record or chunk, so that the file on disk always ends with the
// last piece written.
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

// The open card download file. Others may read it while it is written but not
// write it. On Linux it is created for the owner only and held under an
// exclusive advisory lock until it is closed; on Windows it is opened with
// sharing for readers only and gets the folder's default access rights.
class TCardDownloadFile {
public:
    // Creates the file anew (an existing one is truncated once it is locked).
    explicit TCardDownloadFile(const std::string& path);
    // Closes quietly if Close() was not reached (an error is on its way already).
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
    void Close();

private:
    // The descriptor on Linux, the HANDLE on Windows; -1 when closed.
    std::intptr_t FHandle = -1;
    std::uint64_t FPosition = 0;
};

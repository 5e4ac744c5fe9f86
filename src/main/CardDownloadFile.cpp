// The card download file's writer: records straight to the operating system.
// What goes into it, and in which order, is DownloadPlan.h's and
// DownloadSteps.cpp's.
#include "main/CardDownloadFile.h"

// Opening, writing and closing are the platform's: CardDownloadFile<Posix|Windows>.cpp.

TFileError::TFileError(int errorNumber)
    : std::runtime_error(FileErrorMessage(errorNumber)), FErrorNumber(errorNumber) {}

void TCardDownloadFile::WriteRecord(std::uint16_t fid, std::uint8_t type, std::uint16_t length,
                                    const std::string& data) {
    std::string record;
    record.reserve(5 + data.size());
    record += static_cast<char>(fid >> 8);
    record += static_cast<char>(fid & 0xFF);
    record += static_cast<char>(type);
    record += static_cast<char>(length >> 8);
    record += static_cast<char>(length & 0xFF);
    record += data;
    Write(record);
}

std::string PathStem(const std::string& target) {
    const auto separator = target.find_last_of("/\\");
    const auto dot = target.rfind('.');
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator) ||
        dot == (separator == std::string::npos ? 0 : separator + 1)) {
        return target;
    }
    return target.substr(0, dot);
}

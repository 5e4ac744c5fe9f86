// The archive's names: what a folder on either platform takes.
#include "archive/Archive.h"

#include <cstring>

namespace archive {

TError::TError(int errorNumber, const std::string& path)
    : std::runtime_error(path + ": " + SystemText(errorNumber)), FErrorNumber(errorNumber),
      FPath(path) {}

std::string SafeName(const std::string& downloadName) {
    std::string name(downloadName);
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr) {
            c = '_';
        }
    }
    return name;
}

std::string FileName(const std::string& downloadName, bool whole, int counter) {
    std::string name = SafeName(downloadName);
    if (!whole) {
        name += kNotWholeSuffix;
    }
    if (counter > 1) {
        name += " (" + std::to_string(counter) + ")";
    }
    return name + kExtension;
}

} // namespace archive

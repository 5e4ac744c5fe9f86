// The archive tests' fixture: a working file and an archive folder in a
// scratch folder of their own.
#pragma once

#include "DownloadTestSupport.h"
#include "archive/Archive.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

namespace archivetest {

namespace fs = std::filesystem;

const std::string kName = "C_20261208_0930_A_DRIVER_D900000012345600";

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        Source = (Scratch.Path / "tmp.ddd").string();
        Folder = (Scratch.Path / "Documents" / "Dravik").string();
    }

    // The names in the archive folder, hidden ones included.
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(Folder)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    // A path in the archive folder, with the system's separator.
    std::string InFolder(const std::string& name) const {
        return Folder + static_cast<char>(fs::path::preferred_separator) + name;
    }

    downloadtest::TScratchDir Scratch;
    std::string Source;
    std::string Folder;
};

} // namespace archivetest

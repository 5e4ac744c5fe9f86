// The archive of downloads and the working file's folder: names that a folder
// takes and that never reach another folder, a file that is never half there
// and never replaces another, and a working file that goes where it can be
// written.
#include "archive/Archive.h"
#include "DownloadTestSupport.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

using downloadtest::ReadWholeFile;
using downloadtest::TScratchDir;
using downloadtest::WriteWholeFile;
namespace fs = std::filesystem;

namespace {

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

    TScratchDir Scratch;
    std::string Source;
    std::string Folder;
};

} // namespace

TEST(ArchiveNames, DownloadNamesBecomeFileNamesThatStayInTheirFolder) {
    EXPECT_EQ(archive::FileName(kName, true), kName + ".ddd");
    EXPECT_EQ(archive::FileName(kName, false), kName + "_nepotpuno.ddd");
    EXPECT_EQ(archive::FileName(kName, true, 2), kName + " (2).ddd");
    EXPECT_EQ(archive::FileName(kName, false, 3), kName + "_nepotpuno (3).ddd");
    // A surname is card bytes: separators, control bytes and what Windows
    // refuses never make a path, and the UTF-8 of a real name stays.
    EXPECT_EQ(archive::SafeName("C_x_A_../../etc/passwd"), "C_x_A_.._.._etc_passwd");
    EXPECT_EQ(archive::SafeName(std::string("a\0b\n\\:*?\"<>|\x7f", 13)), "a_b__________");
    EXPECT_EQ(archive::SafeName("C_A_ŠIMIĆ"), "C_A_ŠIMIĆ");
}

TEST_F(ArchiveTest, AnExistingNameIsNeverReplacedAndANotWholeDownloadNeverTakesAWholeOnesName) {
    WriteWholeFile(Source, "first");
    const std::string first = archive::Save(Source, Folder, kName, true);
    EXPECT_EQ(first, Folder + "/" + kName + ".ddd");
    WriteWholeFile(Source, "second");
    const std::string second = archive::Save(Source, Folder, kName, true);
    EXPECT_EQ(second, Folder + "/" + kName + " (2).ddd");
    WriteWholeFile(Source, "partial");
    const std::string partial = archive::Save(Source, Folder, kName, false);
    EXPECT_EQ(partial, Folder + "/" + kName + "_nepotpuno.ddd");

    EXPECT_EQ(ReadWholeFile(first), "first");
    EXPECT_EQ(ReadWholeFile(second), "second");
    EXPECT_EQ(ReadWholeFile(partial), "partial");
    // No temporary copy is left behind.
    EXPECT_EQ(Names().size(), 3u);
}

TEST_F(ArchiveTest, ACrashBetweenWriteAndRenameLeavesNoArchiveFile) {
    WriteWholeFile(Source, std::string(100000, 'x'));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Written and flushed, then the process dies before the rename: no
        // destructor runs, as in a crash.
        archive::TStagedFile staged(Source, Folder);
        ::_exit(fs::file_size(staged.TemporaryPath()) == 100000 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const std::string& name : Names()) {
        EXPECT_NE(fs::path(name).extension(), ".ddd") << name;
        EXPECT_EQ(name.front(), '.') << name;
    }
    // The next download takes the name as if nothing had happened.
    EXPECT_EQ(archive::Save(Source, Folder, kName, true), Folder + "/" + kName + ".ddd");
}

TEST_F(ArchiveTest, AFolderThatCannotBeMadeIsAnErrorNamingIt) {
    WriteWholeFile(Source, "x");
    WriteWholeFile(Scratch.Path / "Documents", "a file where the folder goes");
    try {
        archive::Save(Source, Folder, kName, true);
        FAIL() << "saved into a file";
    } catch (const archive::TError& error) {
        EXPECT_EQ(error.ErrorNumber(), ENOTDIR);
        EXPECT_EQ(error.Path(), Folder);
        EXPECT_NE(std::string(error.what()).find(archive::SystemText(ENOTDIR)), std::string::npos);
    }
}

TEST_F(ArchiveTest, TheWorkingFileGoesToTheDataFolderWhenTheProgramsFolderCannotBeWritten) {
    const fs::path program = Scratch.Path / "program";
    const fs::path data = Scratch.Path / "home" / ".local" / "share" / "Dravik";
    fs::create_directories(program);
    const archive::TWorkingFile beside = archive::WorkingFilePath(program.string(), data.string());
    EXPECT_EQ(beside.Path, (program / "tmp.ddd").string());
    EXPECT_FALSE(beside.InDataFolder);
    // Asking creates nothing beside the program.
    EXPECT_TRUE(fs::is_empty(program));

    // An installed program's folder, as an ordinary user sees it.
    ::chmod(Scratch.Path.c_str(), 0755);
    ::chmod(program.c_str(), 0555);
    fs::create_directories(Scratch.Path / "home");
    constexpr uid_t kUser = 61004;
    ::chown((Scratch.Path / "home").c_str(), kUser, kUser);
    const bool asUser = ::geteuid() == 0;
    if (asUser) {
        ::setfsuid(kUser);
        ::setfsgid(kUser);
    } else if (::access(program.c_str(), W_OK) == 0) {
        GTEST_SKIP() << "the program's folder stays writable for this user";
    }
    const archive::TWorkingFile chosen = archive::WorkingFilePath(program.string(), data.string());
    const bool dataWritable = archive::FolderWritable(data.string());
    if (asUser) {
        ::setfsuid(0);
        ::setfsgid(0);
    }
    EXPECT_EQ(chosen.Path, (data / "tmp.ddd").string());
    EXPECT_TRUE(chosen.InDataFolder);
    EXPECT_TRUE(dataWritable);
    EXPECT_TRUE(fs::is_empty(program));
}

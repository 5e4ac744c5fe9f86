// The archive on Linux: a crash between the write and the rename, and an
// installed program's folder that an ordinary user cannot write.
#include "ArchiveFixture.h"

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using archivetest::ArchiveTest;
using archivetest::kName;
using downloadtest::WriteWholeFile;
namespace fs = std::filesystem;

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
    EXPECT_EQ(archive::Save(Source, Folder, kName, true), InFolder(kName + ".ddd"));
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

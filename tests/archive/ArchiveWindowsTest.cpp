// The archive on Windows, where the rename cannot replace a file and a file in
// use cannot be touched: the staged copy hidden until it has its name, a name
// another program holds open, and a working file beside the program that
// another copy of the program holds.
#include "ArchiveFixture.h"

#include <windows.h>

using archivetest::ArchiveTest;
using archivetest::kName;
using downloadtest::ReadWholeFile;
using downloadtest::WriteWholeFile;
namespace fs = std::filesystem;

namespace {

DWORD Attributes(const std::string& path) {
    return GetFileAttributesW(fs::path(path).wstring().c_str());
}

} // namespace

TEST_F(ArchiveTest, TheStagedCopyIsHiddenUntilItHasItsNameAndGoesWithoutIt) {
    WriteWholeFile(Source, std::string(100000, 'x'));
    {
        archive::TStagedFile staged(Source, Folder);
        EXPECT_EQ(fs::file_size(staged.TemporaryPath()), 100000u);
        EXPECT_NE(fs::path(staged.TemporaryPath()).extension(), ".ddd");
        EXPECT_TRUE(Attributes(staged.TemporaryPath()) & FILE_ATTRIBUTE_HIDDEN);
    }
    EXPECT_TRUE(Names().empty());
    // The archived file is shown in Explorer like any other.
    const std::string saved = archive::Save(Source, Folder, kName, true);
    EXPECT_EQ(saved, InFolder(kName + ".ddd"));
    EXPECT_FALSE(Attributes(saved) & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(ArchiveTest, ANameAnotherProgramHoldsOpenGetsTheNextCounter) {
    WriteWholeFile(Source, "first");
    const std::string first = archive::Save(Source, Folder, kName, true);
    // A viewer holding the first download, sharing nothing.
    const HANDLE held = CreateFileW(fs::path(first).wstring().c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    WriteWholeFile(Source, "second");
    const std::string second = archive::Save(Source, Folder, kName, true);
    CloseHandle(held);
    EXPECT_EQ(second, InFolder(kName + " (2).ddd"));
    EXPECT_EQ(ReadWholeFile(first), "first");
    EXPECT_EQ(ReadWholeFile(second), "second");
    EXPECT_EQ(Names().size(), 2u);
}

TEST_F(ArchiveTest, AWorkingFileBesideTheProgramThatAnotherCopyHoldsMovesToTheDataFolder) {
    const fs::path program = Scratch.Path / "program";
    const fs::path data = Scratch.Path / "AppData" / "Roaming" / "Dravik";
    fs::create_directories(program);
    const archive::TWorkingFile beside = archive::WorkingFilePath(program.string(), data.string());
    EXPECT_EQ(beside.Path, (program / "tmp.ddd").string());
    EXPECT_FALSE(beside.InDataFolder);
    EXPECT_TRUE(fs::is_empty(program));

    // Held by another copy of the program started from the same folder,
    // which shares it for reading only. (A folder that an ordinary user
    // cannot write is no test under wine, which runs as root here and lets
    // it write anywhere.)
    WriteWholeFile(program / "tmp.ddd", "old");
    const HANDLE held =
        CreateFileW((program / "tmp.ddd").wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const archive::TWorkingFile chosen = archive::WorkingFilePath(program.string(), data.string());
    CloseHandle(held);
    EXPECT_EQ(chosen.Path, (data / "tmp.ddd").string());
    EXPECT_TRUE(chosen.InDataFolder);
    EXPECT_TRUE(archive::FolderWritable(data.string()));
    EXPECT_EQ(ReadWholeFile(program / "tmp.ddd"), "old");
}

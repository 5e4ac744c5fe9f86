// The archive of downloads and the working file's folder: names that a folder
// takes and that never reach another folder, a file that is never half there
// and never replaces another, and a working file that goes where it can be
// written. What each system does its own way is in
// Archive<Posix|Windows>Test.cpp.
#include "ArchiveFixture.h"

using archivetest::ArchiveTest;
using archivetest::kName;
using downloadtest::ReadWholeFile;
using downloadtest::WriteWholeFile;
namespace fs = std::filesystem;

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
    EXPECT_EQ(first, InFolder(kName + ".ddd"));
    WriteWholeFile(Source, "second");
    const std::string second = archive::Save(Source, Folder, kName, true);
    EXPECT_EQ(second, InFolder(kName + " (2).ddd"));
    WriteWholeFile(Source, "partial");
    const std::string partial = archive::Save(Source, Folder, kName, false);
    EXPECT_EQ(partial, InFolder(kName + "_nepotpuno.ddd"));

    EXPECT_EQ(ReadWholeFile(first), "first");
    EXPECT_EQ(ReadWholeFile(second), "second");
    EXPECT_EQ(ReadWholeFile(partial), "partial");
    // No temporary copy is left behind.
    EXPECT_EQ(Names().size(), 3u);
}

TEST_F(ArchiveTest, AFolderThatCannotBeMadeIsAnErrorNamingIt) {
    WriteWholeFile(Source, "x");
    WriteWholeFile(Scratch.Path / "Documents", "a file where the folder goes");
    try {
        archive::Save(Source, Folder, kName, true);
        FAIL() << "saved into a file";
    } catch (const archive::TError& error) {
#ifndef _WIN32
        EXPECT_EQ(error.ErrorNumber(), ENOTDIR);
#endif
        EXPECT_EQ(error.Path(), Folder);
        EXPECT_NE(std::string(error.what()).find(archive::SystemText(error.ErrorNumber())),
                  std::string::npos);
    }
}

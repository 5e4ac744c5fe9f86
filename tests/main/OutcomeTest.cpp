// What a download leaves for the office that relies on it, in the window with
// the in-memory PC/SC library and the simulated driver card: every download
// kept in the archive under its name, the closing message's icon after its
// outcome, the error box naming the file and the system's words, one result
// line at the log's end, the choices of the last run, the line that says the
// smart-card service is not running, and a card put into another reader.
#include "DownloadTestSupport.h"
#include "ExpectedDownload.h"
#include "FakePcsc.h"
#include "WindowTestUtil.h"
#include "archive/Archive.h"
#include "cardsim/DriverCard.h"
#include "cardsim/SampleCard.h"
#include "contents/CardContentsWindow.h"
#include "main/MainForm.h"
#include "main/WindowMessageBox.h"
#include "register/Register.h"
#include "ui_MainForm.h"

#include "FileCompare.h"
#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QUrl>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>

using namespace downloadtest;
using messagebox::TIcon;
using windowtest::ProcessUntil;

namespace {

// Paths as the program shows them, UTF-8; and a file name from the card's
// UTF-8 as a path. std::filesystem's narrow strings are the ANSI code page on
// Windows, which holds no Ž.
std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
std::filesystem::path PathOf(const std::string& utf8) {
    return std::u8string(utf8.begin(), utf8.end());
}

#ifdef _WIN32
// The error a file in a missing folder gives.
constexpr int kMissingFolderError = 3; // ERROR_PATH_NOT_FOUND
#else
constexpr int kMissingFolderError = ENOENT;
#endif

} // namespace
namespace fs = std::filesystem;

// Takes the place of the desktop's file manager.
class TFolderCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Urls;
public slots:
    void open(const QUrl& url) { Urls << url; }
};

namespace {

const std::string kReader = "Office Reader 00";
const std::vector<std::uint8_t> kAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};
const Bytes kSelectPlaces = {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x05, 0x06};

struct TShown {
    QString Text;
    TIcon Icon;
};

class OutcomeTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakepcsc::Reset();
        messagebox::SetIconHandler([this](const QString&, const QString& text, TIcon icon) {
            Shown.push_back({text, icon});
        });
    }
    void TearDown() override {
        Window.reset();
        messagebox::SetHandler({});
    }

    void Open() {
        fakepcsc::AddReader(kReader);
        Window = std::make_unique<TMainForm>(FAKEPCSC_PATH);
        Window->FOutputPath = (Scratch.Path / "tmp.ddd").string();
        Window->SetArchiveFolder(QString::fromStdString((Scratch.Path / "archive").string()));
        ASSERT_TRUE(ProcessUntil([this] { return Reader() && Reader()->CardState == csNoCard; }));
    }
    TReaderObject* Reader() const { return Window->ReaderObjectAt(0); }

    // Downloads `image`; a card that refuses EF Places gives a download that
    // is not whole. Returns the download's log lines.
    enum class TSigning { Signs, Refuses, SignsWrongly };
    QStringList Download(const cardsim::TCardImage& image, bool whole = true,
                         TSigning signing = TSigning::Signs) {
        auto card = std::make_shared<cardsim::TDriverCard>(image);
        if (signing == TSigning::Refuses) {
            // PERFORM SECURITY OPERATION refused: every signed file unsigned.
            card->FailInstruction(0x00, 0x2A, 0x6A88);
        } else if (signing == TSigning::SignsWrongly) {
            // 128 bytes that are no signature of anything.
            Bytes answer(128, 0x11);
            answer.push_back(0x90);
            answer.push_back(0x00);
            card->AnswerCommand({0x00, 0x2A, 0x9E, 0x9A, 0x80}, answer);
        }
        fakepcsc::InsertCard(
            kReader, kAtr, fakepcsc::TProtocol::T1, [card, whole](const Bytes& apdu) {
                return !whole && apdu == kSelectPlaces ? Bytes{0x6A, 0x82} : card->Process(apdu);
            });
        EXPECT_TRUE(ProcessUntil([this] { return Window->Form()->BitBtn1->isEnabled(); }));
        const int before = Window->LogLines().size();
        Window->Form()->BitBtn1->click();
        const QStringList log = Window->LogLines().mid(before);
        fakepcsc::RemoveCard(kReader);
        EXPECT_TRUE(ProcessUntil([this] { return Reader()->CardState == csNoCard; }));
        return log;
    }

    std::set<fs::path> Archived() const {
        std::set<fs::path> files;
        for (const auto& entry : fs::directory_iterator(Scratch.Path / "archive")) {
            // The register beside the downloads is not one of them.
            if (entry.path().filename() != registry::kSqliteFileName) {
                files.insert(entry.path());
            }
        }
        return files;
    }
    std::string Name() const { return Window->Form()->Edit1->text().toStdString(); }

    TScratchDir Scratch;
    std::unique_ptr<TMainForm> Window;
    std::vector<TShown> Shown;
};

} // namespace

TEST_F(OutcomeTest, EveryDownloadIsArchivedWithItsOutcomeInTheIconAndTheLogsLastLine) {
    Open();
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    const std::string whole = Join(CompleteDownload(image));

    QStringList log = Download(image);
    const std::string name = Name();
    const fs::path first = Scratch.Path / "archive" / PathOf(name + ".ddd");
    EXPECT_EQ(log.back().toStdString(), "Result: saved as " + Utf8(first) + ", whole");
    // The log shows its end, where that line is.
    QScrollBar* bar = Window->Form()->LogBox->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());

    log = Download(image);
    // The same minute gives the same name, unless the clock went on meanwhile.
    const fs::path second =
        Scratch.Path / "archive" / PathOf(Name() == name ? name + " (2).ddd" : Name() + ".ddd");
    EXPECT_EQ(log.back().toStdString(), "Result: saved as " + Utf8(second) + ", whole");

    log = Download(image, false);
    const fs::path partial = Scratch.Path / "archive" / PathOf(Name() + "_nepotpuno.ddd");
    EXPECT_EQ(log.back().toStdString(), "Result: saved as " + Utf8(partial) + ", not whole");

    // Same minute, same card: a third name rather than a replaced file, and
    // the whole downloads kept byte for byte.
    EXPECT_EQ(Archived(), (std::set<fs::path>{first, second, partial}));
    // And each of them in the archive folder's register.
    std::set<std::string> hashes;
    for (const fs::path& file : {first, second, partial}) {
        hashes.insert(registry::Sha256Hex(downloadtest::AsBytes(ReadFile(file))));
    }
    if (registry::EmbeddedStoreAvailable()) {
        EXPECT_EQ(registry::OpenStore({}, (Scratch.Path / "archive").string())->Hashes(), hashes);
    }
    EXPECT_TRUE(SameBytes(ReadWholeFile(first), whole));
    EXPECT_TRUE(SameBytes(ReadWholeFile(second), whole));
    EXPECT_TRUE(SameBytes(ReadWholeFile(partial), ReadWholeFile(Window->FOutputPath)));
    ASSERT_EQ(Shown.size(), 3u);
    EXPECT_EQ(Shown[0].Icon, TIcon::Information);
    EXPECT_EQ(Shown[1].Icon, TIcon::Information);
    EXPECT_EQ(Shown[2].Icon, TIcon::Warning);
}

TEST_F(OutcomeTest, AWholeDownloadNotSignedOrWhoseSignaturesFailTheCheckIsAWarning) {
    Open();
    Window->FRootKeyPath = DRAVIK_TEST_ROOT_KEY_PATH;
    QStringList log = Download(cardsim::BuildDriverCard());
    EXPECT_TRUE(log.back().endsWith(", whole")) << log.back().toStdString();
    log = Download(cardsim::BuildDriverCard(), true, TSigning::Refuses);
    EXPECT_TRUE(log.back().endsWith(", whole, not signed by the card, signatures not valid"))
        << log.back().toStdString();
    log = Download(cardsim::BuildDriverCard(), true, TSigning::SignsWrongly);
    EXPECT_TRUE(log.back().endsWith(", whole, signatures not valid")) << log.back().toStdString();
    ASSERT_EQ(Shown.size(), 3u);
    EXPECT_EQ(Shown[0].Icon, TIcon::Information);
    EXPECT_EQ(Shown[1].Icon, TIcon::Warning);
    EXPECT_TRUE(Shown[1].Text.contains(QString::fromUtf8(kNotSignedCroatian)))
        << Shown[1].Text.toStdString();
    EXPECT_EQ(Shown[2].Icon, TIcon::Warning);
}

// The closing message's own button opens the downloaded card's contents, with
// the signatures checked; "Podaci" opens any file, asked for in the archive
// folder; both follow the language chosen afterwards.
TEST_F(OutcomeTest, TheClosingMessagesButtonAndPodaciOpenTheCardsContents) {
    Open();
    Window->FRootKeyPath = DRAVIK_TEST_ROOT_KEY_PATH;
    QStringList offered;
    messagebox::SetButtonAnswer([&](const QString& button) {
        offered << button;
        return true;
    });
    Download(cardsim::BuildDriverCard());
    messagebox::SetButtonAnswer({});
    EXPECT_EQ(offered, QStringList{QString::fromUtf8("Sadržaj kartice")});
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0].Icon, TIcon::Information);
    std::vector<contents::TCardContentsWindow*> windows = Window->CardContents()->Windows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_TRUE(windows[0]->isVisible());
    EXPECT_TRUE(windows[0]->FactTexts().back().startsWith(QStringLiteral("valjani (")))
        << windows[0]->FactTexts().back().toStdString();

    const fs::path archived = Scratch.Path / "archive" / PathOf(Name() + ".ddd");
    QString startedIn;
    contents::TCardContentsEntry::SetFileChooser([&](QWidget*, const QString& folder) {
        startedIn = folder;
        return QString::fromStdString(Utf8(archived));
    });
    QAction* action = Window->findChild<QAction*>(QStringLiteral("CardContentsAction"));
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(Window->Form()->MenuPodaci->actions().contains(action));
    action->trigger();
    contents::TCardContentsEntry::SetFileChooser({});
    EXPECT_EQ(startedIn, Window->ArchiveFolder());
    windows = Window->CardContents()->Windows();
    ASSERT_EQ(windows.size(), 2u);

    Window->Action5Execute();
    EXPECT_EQ(action->text(), QStringLiteral("&Card contents..."));
    for (const contents::TCardContentsWindow* window : windows) {
        EXPECT_TRUE(window->windowTitle().startsWith(QStringLiteral("Card contents")))
            << window->windowTitle().toStdString();
        EXPECT_TRUE(window->FactTexts().back().startsWith(QStringLiteral("valid (")));
    }
}

TEST_F(OutcomeTest, AFileErrorIsACriticalBoxNamingTheFileAndTheSystemsWordsInTheChosenLanguage) {
    Open();
    const cardsim::TCardImage image = cardsim::BuildDriverCard();
    Window->FOutputPath = (Scratch.Path / "gone" / "tmp.ddd").string();
    QStringList log = Download(image);
    const std::string error = "I/O error " + std::to_string(kMissingFolderError);
    EXPECT_EQ(log.back().toStdString(),
              "Result: not saved, " + error + " (" + Window->FOutputPath + ")");
    Window->Action5Execute();
    Download(image);
    ASSERT_EQ(Shown.size(), 2u);
    const std::string croatian = Shown[0].Text.toStdString();
    EXPECT_EQ(Shown[0].Icon, TIcon::Critical);
    const std::string system =
        std::to_string(kMissingFolderError) + ": " + archive::SystemText(kMissingFolderError);
    EXPECT_EQ(croatian,
              error + "\r\rDatoteka: " + Window->FOutputPath + "\rGreška sustava " + system);
    EXPECT_EQ(Shown[1].Icon, TIcon::Critical);
    EXPECT_EQ(Shown[1].Text.toStdString(),
              error + "\r\rFile: " + Window->FOutputPath + "\rSystem error " + system);
    EXPECT_FALSE(fs::exists(Scratch.Path / "archive"));
}

TEST_F(OutcomeTest, AnArchiveThatCannotBeWrittenIsAWarningAndTheWorkingFileIsKept) {
    Open();
    // The archive's place is taken by a file.
    WriteWholeFile(Scratch.Path / "archive", "not a folder");
    const QStringList log = Download(cardsim::BuildDriverCard());
    // Kept under a name of its own beside the working file, and the card not
    // told of a download that is nowhere for good.
    const std::string kept =
        Utf8(Scratch.Path / PathOf("tmp_" + Window->FLastIdentity.DownloadName + ".ddd"));
    EXPECT_EQ(log.back().toStdString(),
              "Result: saved as " + kept +
                  " only, whole; not archived: " + Window->FLastOutcome.Error);
    EXPECT_FALSE(log.contains("EF Card Download UpdateBinary OK"));
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0].Icon, TIcon::Warning);
    // The message says why, naming the folder that could not be made.
    EXPECT_TRUE(Shown[0].Text.contains(QString::fromStdString(
        "\r\rNije spremljeno u arhivu: " + Utf8(Scratch.Path / "archive") + ": ")))
        << Shown[0].Text.toStdString();
    EXPECT_TRUE(
        SameBytes(ReadWholeFile(PathOf(kept)), Join(CompleteDownload(cardsim::BuildDriverCard()))));
}

TEST_F(OutcomeTest, TheLanguageAndTheArchiveFolderAreRememberedAndTheLanguageIsChecked) {
    Open();
    EXPECT_TRUE(Window->Form()->Action4->isChecked());
    EXPECT_FALSE(Window->Form()->Action5->isChecked());
    EXPECT_EQ(Window->ArchiveFolderAction()->text(), "&Mapa arhive...");
    Window->Action5Execute();
    EXPECT_TRUE(Window->Form()->Action5->isChecked());
    EXPECT_FALSE(Window->Form()->Action4->isChecked());
    Window->SetArchiveFolder(QStringLiteral("/srv/office//archive/"));
    Window.reset();
    fakepcsc::Reset();

    Open();
    EXPECT_FALSE(Window->FCroatian);
    EXPECT_TRUE(Window->Form()->Action5->isChecked());
    EXPECT_EQ(Window->Form()->CitacLabela->text(), "Card reader:");
    EXPECT_EQ(Window->OpenArchiveAction()->text(), "&Open archive folder");
    // Open() chose the scratch folder again; what the first window stored was
    // read back before that.
    QSettings settings;
    // Kept in Qt's form, '/' on Windows too.
    EXPECT_EQ(settings.value("archiveFolder").toString(),
              QDir::cleanPath(QString::fromStdString(Utf8(Scratch.Path / "archive"))));
    Window->SetArchiveFolder(QStringLiteral("/srv/office//archive/"));
    EXPECT_EQ(Window->ArchiveFolder(), "/srv/office/archive");

    // Opening a folder that no download has made yet makes it first.
    const fs::path fresh = Scratch.Path / "not yet" / "Dravik";
    Window->SetArchiveFolder(QString::fromStdString(fresh.string()));
    TFolderCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    Window->OpenArchiveAction()->trigger();
    QDesktopServices::unsetUrlHandler("file");
    EXPECT_TRUE(fs::is_directory(fresh));
    EXPECT_EQ(catcher.Urls,
              QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(fresh.string()))});
}

TEST_F(OutcomeTest,
       WithoutTheServiceOneLineInTheChosenLanguageSaysHowToStartItAndItIsFollowedBack) {
    QSettings().setValue("language", "en");
    fakepcsc::SetServiceUp(false);
    Window = std::make_unique<TMainForm>(FAKEPCSC_PATH);
    const QString note = QString::fromUtf8(pcsc::kServiceNotRunningEnglish);
    windowtest::ProcessFor(std::chrono::milliseconds(300));
    QStringList lines = Window->LogLines();
    ASSERT_GE(lines.size(), 4);
    EXPECT_EQ(lines[2], "(SCARD_E_NO_SERVICE).");
    EXPECT_EQ(lines[3], note);
    EXPECT_EQ(lines.count(note), 1) << lines.join('\n').toStdString();

    fakepcsc::AddReader(kReader);
    fakepcsc::SetServiceUp(true);
    ASSERT_TRUE(ProcessUntil([this] { return Window->Form()->ReaderListBox->count() == 1; }))
        << Window->LogLines().join('\n').toStdString();
    // Gone again: said once more, now in Croatian.
    Window->Action4Execute();
    const int from = Window->LogLines().size();
    fakepcsc::SetServiceUp(false);
    const QString croatian = QString::fromUtf8(pcsc::kServiceNotRunningCroatian);
    ASSERT_TRUE(ProcessUntil([&] { return Window->LogLines().mid(from).contains(croatian); }))
        << Window->LogLines().mid(from).join('\n').toStdString();
    windowtest::ProcessFor(std::chrono::milliseconds(300));
    EXPECT_EQ(Window->LogLines().mid(from).count(croatian), 1);
}

#include "OutcomeTest.moc"

// The window with the in-memory PC/SC library: start-up, shut-down, the reader
// list, the read button and the languages.
#include "main/MainForm.h"
#include "FakePcsc.h"
#include "WindowTestUtil.h"
#include "main/DriversWindow.h"
#include "main/WindowMessageBox.h"
#include "smartcard/PcscDef.h"
#include "ui_MainForm.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <system_error>
#include <thread>

using namespace std::chrono_literals;
using windowtest::ProcessFor;
using windowtest::ProcessUntil;

// Takes the place of the desktop's browser.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Urls;
public slots:
    void open(const QUrl& url) { Urls << url; }
};

namespace {

const std::vector<std::uint8_t> kAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override { fakepcsc::Reset(); }

    std::unique_ptr<TMainForm> Open() { return std::make_unique<TMainForm>(FAKEPCSC_PATH); }

    static bool HasLine(const TMainForm& window, const QString& line) {
        return window.LogLines().contains(line);
    }
    // Waits until the log has `line` after index `from`; returns its index or -1.
    static int WaitForLine(const TMainForm& window, const QString& line, int from = 0) {
        int index = -1;
        ProcessUntil([&] {
            index = window.LogLines().indexOf(line, from);
            return index >= 0;
        });
        return index;
    }
    static QString Pair(const QString& reader) {
        return QStringLiteral("Card State changed in ") + reader + QStringLiteral(" to ");
    }
    // Waits until the reader's card-state pair with `word` is logged after `from`.
    static bool WaitForState(const TMainForm& window, const QString& reader, const QString& word,
                             int from = 0) {
        return ProcessUntil([&] {
            const QStringList lines = window.LogLines();
            for (int i = from; i + 1 < lines.size(); ++i) {
                if (lines[i] == Pair(reader) && lines[i + 1] == word) {
                    return true;
                }
            }
            return false;
        });
    }
    static QString Dump(const TMainForm& window) { return window.LogLines().join('\n'); }
};

} // namespace

// ------------------------------------------------------------------ start-up

TEST_F(MainFormTest, WithoutTheLibraryTheLogBeginsWithTheThreeFailureLines) {
    TMainForm window("/nonexistent/libpcsclite.so.1");
    const QStringList lines = window.LogLines();
    ASSERT_GE(lines.size(), 5);
    EXPECT_EQ(lines[0], "Cannot access Winscard.dll.");
    EXPECT_EQ(lines[1], "SCardEstablishContext failed with error code 80100001 ");
    EXPECT_EQ(lines[2], "(SCARD_F_INTERNAL_ERROR).");
    EXPECT_EQ(lines[3], "Reader list changed");
    EXPECT_EQ(lines[4], "(SCARD_F_INTERNAL_ERROR).");
    EXPECT_EQ(window.Form()->ReaderListBox->count(), 0);
}

TEST_F(MainFormTest, WithTheServiceUpTheContextIsEstablished) {
    auto window = Open();
    const QStringList lines = window->LogLines();
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], "Winscard.dll successfully loaded.");
    EXPECT_EQ(lines[1], "SCardEstablishContext succeeded.");
    EXPECT_NE(window->FContext, 0);
}

TEST_F(MainFormTest, WithTheServiceDownTheContextFailsWithNoService) {
    fakepcsc::SetServiceUp(false);
    auto window = Open();
    const QStringList lines = window->LogLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], "Winscard.dll successfully loaded.");
    EXPECT_EQ(lines[1], "SCardEstablishContext failed with error code 8010001D ");
    EXPECT_EQ(lines[2], "(SCARD_E_NO_SERVICE).");
}

// ----------------------------------------------------------------- shut-down

TEST_F(MainFormTest, ShutDownCancelsAndReleasesTheWindowsContextAndEveryWatchersContext) {
    fakepcsc::AddReader("R1");
    fakepcsc::AddReader("R2");
    SCARDCONTEXT context = 0;
    {
        auto window = Open();
        context = window->FContext;
        ASSERT_TRUE(WaitForState(*window, "R2", "no card"));
        fakepcsc::ClearCalls();
    }
    const auto calls = fakepcsc::Calls();
    int cancel = -1;
    int release = -1;
    for (int i = 0; i < static_cast<int>(calls.size()); ++i) {
        if (calls[i].Context == static_cast<std::uint64_t>(context) &&
            calls[i].Function == "SCardCancel") {
            cancel = i;
        }
        if (calls[i].Context == static_cast<std::uint64_t>(context) &&
            calls[i].Function == "SCardReleaseContext") {
            release = i;
        }
    }
    ASSERT_GE(cancel, 0);
    EXPECT_GT(release, cancel);
    EXPECT_EQ(fakepcsc::OpenContexts(), 0) << "a watcher's context outlived the window";
    // Nothing reaches the library once the window is gone.
    fakepcsc::ClearCalls();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(fakepcsc::Calls().empty());
}

TEST_F(MainFormTest, ShutDownWithoutAContextCancelsNothing) {
    fakepcsc::SetServiceUp(false);
    {
        auto window = Open();
        ASSERT_EQ(window->FContext, 0);
        fakepcsc::ClearCalls();
    }
    // Watchers may still wait on their own (empty) contexts; the window itself
    // must neither cancel nor release one it never had.
    for (const char* function : {"SCardCancel", "SCardReleaseContext"}) {
        for (const auto& call : fakepcsc::Calls(function)) {
            EXPECT_NE(call.Context, 0u) << function << " was called with the empty context";
        }
    }
}

TEST_F(MainFormTest, ClosingManyTimesWhileReadersAndCardsChangeNeverTouchesFreedObjects) {
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (int i = 0; !stop; ++i) {
            const std::string name = "Churn " + std::to_string(i % 3);
            fakepcsc::AddReader(name);
            fakepcsc::InsertCard(name, kAtr);
            std::this_thread::sleep_for(1ms);
            fakepcsc::RemoveCard(name);
            if (i % 2 == 0) {
                fakepcsc::RemoveReader(name);
            }
        }
    });
    for (int round = 0; round < 25; ++round) {
        auto window = Open();
        ProcessFor(std::chrono::milliseconds(5 + round % 7));
    }
    stop = true;
    churn.join();
    EXPECT_EQ(fakepcsc::OpenContexts(), 0);
}

TEST_F(MainFormTest, AServiceThatStopsAndComesBackIsFollowedWithNewContexts) {
    fakepcsc::AddReader("A");
    fakepcsc::InsertCard("A", kAtr);
    auto window = Open();
    ASSERT_TRUE(WaitForState(*window, "A", "available"));
    const SCARDCONTEXT before = window->FContext;

    int from = window->LogLines().size();
    fakepcsc::SetServiceUp(false);
    const int removed = WaitForLine(*window, "Reader removed: A", from);
    ASSERT_GT(removed, from) << Dump(*window).toStdString();
    EXPECT_EQ(window->LogLines()[removed - 2], "(SCARD_E_NO_SERVICE).");
    EXPECT_EQ(window->LogLines()[removed - 1], QString::fromUtf8(pcsc::kServiceNotRunningCroatian));
    EXPECT_EQ(window->Form()->ReaderListBox->count(), 0);
    EXPECT_FALSE(window->Form()->BitBtn1->isEnabled());
    // Nothing spins while the service is gone.
    fakepcsc::ClearCalls();
    ProcessFor(500ms);
    EXPECT_LE(fakepcsc::Calls().size(), 20u);

    from = window->LogLines().size();
    fakepcsc::SetServiceUp(true);
    const auto back = std::chrono::steady_clock::now();
    const int found = WaitForLine(*window, "New reader found: A", from);
    ASSERT_GT(found, from) << Dump(*window).toStdString();
    EXPECT_LT(std::chrono::steady_clock::now() - back, 1s);
    EXPECT_TRUE(
        window->LogLines().mid(from, found - from).contains("SCardEstablishContext succeeded."));
    EXPECT_NE(window->FContext, before);
    ASSERT_TRUE(WaitForState(*window, "A", "available", found));
    EXPECT_TRUE(window->Form()->BitBtn1->isEnabled());
}

// -------------------------------------------------------------------- window

TEST_F(MainFormTest, CaptionsMenuAndShortcutAreThoseOfTheLayout) {
    auto window = Open();
    Ui::MainForm* ui = window->Form();
    EXPECT_EQ(window->windowTitle(), "Dravik (Kartolo) - VELMARK");
    EXPECT_EQ(ui->CitacLabela->text(), QStringLiteral("Čitač kartica:"));
    EXPECT_EQ(ui->BitBtn1->text(), QStringLiteral("Nema spojenih čitača?"));
    EXPECT_FALSE(ui->BitBtn1->isEnabled());

    const QList<QAction*> top = ui->ActionMainMenuBar1->actions();
    ASSERT_EQ(top.size(), 2);
    EXPECT_EQ(top[0]->text(), "&Podaci");
    EXPECT_EQ(top[1]->text(), "&O programu");
    const QList<QAction*> data = top[0]->menu()->actions();
    ASSERT_EQ(data.size(), 10);
    EXPECT_EQ(data[0], ui->Action1);
    EXPECT_EQ(data[1], window->ArchiveFolderAction());
    EXPECT_EQ(data[2], window->OpenArchiveAction());
    EXPECT_EQ(data[3]->objectName(), QStringLiteral("CardContentsAction"));
    EXPECT_EQ(data[3]->text(), QString::fromUtf8("&Sadržaj kartice..."));
    EXPECT_EQ(data[4], window->Register()->DriversAction());
    EXPECT_EQ(data[4]->text(), QStringLiteral("&Vozači..."));
    EXPECT_EQ(data[5], window->Register()->StoreAction());
    EXPECT_EQ(data[5]->text(), QStringLiteral("&Registar..."));
    EXPECT_TRUE(data[6]->isSeparator());
    EXPECT_EQ(data[7], ui->LogBox->SaveAction());
    EXPECT_EQ(data[7]->text(), QStringLiteral("Spremi zapisnik..."));
    EXPECT_TRUE(data[8]->isSeparator());
    EXPECT_EQ(data[9], ui->Action2);
    const QList<QAction*> about = top[1]->menu()->actions();
    ASSERT_EQ(about.size(), 3);
    ASSERT_NE(about[0]->menu(), nullptr);
    EXPECT_EQ(about[0]->text(), "&Jezik");
    EXPECT_EQ(about[0]->menu()->actions(), (QList<QAction*>{ui->Action4, ui->Action5}));
    EXPECT_TRUE(about[1]->isSeparator());
    EXPECT_EQ(about[2], ui->Action3);

    EXPECT_EQ(ui->Action1->text(), "&Postavke");
    EXPECT_FALSE(ui->Action1->isVisible());
    EXPECT_EQ(ui->Action2->text(), "&Izlazak");
    EXPECT_EQ(ui->Action2->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_X));
    EXPECT_EQ(ui->Action3->text(), "&Autor");
    EXPECT_EQ(ui->Action4->text(), "&Hrvatski");
    EXPECT_EQ(ui->Action5->text(), "&Engleski");
    EXPECT_EQ(ui->Action1->property("category").toString(), "Podaci");
    EXPECT_EQ(ui->Action2->property("category").toString(), "Podaci");
    EXPECT_EQ(ui->Action3->property("category").toString(), "O programu");
    EXPECT_EQ(ui->Action4->property("category").toString(), "Jezik");
    EXPECT_EQ(ui->Action5->property("category").toString(), "Jezik");
}

TEST_F(MainFormTest, TheLogPanelTakesTheDesktopsTooltipBackground) {
    const QPalette original = QApplication::palette();
    QPalette theme = original;
    theme.setColor(QPalette::ToolTipBase, QColor(30, 40, 50));
    QApplication::setPalette(theme);
    auto window = Open();
    const QColor panel = window->Form()->Panel8->palette().color(QPalette::Window);
    QApplication::setPalette(original);
    EXPECT_EQ(panel, QColor(30, 40, 50));
    EXPECT_TRUE(window->Form()->Panel8->autoFillBackground());
}

TEST_F(MainFormTest, ExactlyOneLogoIsVisibleAndBothTurnUp) {
    int image1 = 0;
    int image3 = 0;
    for (int i = 0; i < 40; ++i) {
        TMainForm window("/nonexistent/lib.so");
        const bool one = window.Form()->Image1->isVisibleTo(&window);
        const bool three = window.Form()->Image3->isVisibleTo(&window);
        EXPECT_NE(one, three);
        const QLabel* shown = one ? window.Form()->Image1 : window.Form()->Image3;
        EXPECT_FALSE(shown->pixmap().isNull()) << "the logo's picture did not load";
        image1 += one;
        image3 += three;
    }
    // Each misses 40 starts in a row with chance 2^-40.
    EXPECT_GT(image1, 0);
    EXPECT_GT(image3, 0);
}

TEST_F(MainFormTest, CtrlXClosesTheWindowInBothLanguages) {
    for (bool english : {false, true}) {
        auto window = Open();
        if (english) {
            window->Action5Execute();
        }
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
        QTest::keyClick(window.get(), Qt::Key_X, Qt::ControlModifier);
        EXPECT_TRUE(ProcessUntil([&] { return !window->isVisible(); }))
            << (english ? "English" : "Croatian");
    }
}

TEST_F(MainFormTest, LanguageSwitchChangesTheCaptionsAndLeavesTheRestAlone) {
    auto window = Open();
    Ui::MainForm* ui = window->Form();
    window->Action5Execute();
    EXPECT_EQ(ui->CitacLabela->text(), "Card reader:");
    EXPECT_EQ(ui->BitBtn1->text(), "No card reader?");
    EXPECT_EQ(ui->Action1->text(), "Settings");
    EXPECT_EQ(ui->Action2->text(), "Exit");
    EXPECT_EQ(ui->Action3->text(), "Author");
    EXPECT_EQ(ui->Action4->text(), "Croatian");
    EXPECT_EQ(ui->Action5->text(), "English");
    EXPECT_EQ(ui->Action1->property("category").toString(), "Data");
    EXPECT_EQ(ui->Action3->property("category").toString(), "About");
    EXPECT_EQ(ui->Action5->property("category").toString(), "Language");
    EXPECT_FALSE(ui->Action1->isVisible());
    // What never changes.
    const QList<QAction*> top = ui->ActionMainMenuBar1->actions();
    EXPECT_EQ(top[0]->text(), "&Podaci");
    EXPECT_EQ(top[1]->text(), "&O programu");
    EXPECT_EQ(top[1]->menu()->actions()[0]->text(), "&Jezik");
    EXPECT_EQ(window->windowTitle(), "Dravik (Kartolo) - VELMARK");
    const int logged = window->LogLines().size();

    for (int twice = 0; twice < 2; ++twice) {
        window->Action4Execute();
        EXPECT_EQ(ui->CitacLabela->text(), QStringLiteral("Čitač kartica:"));
        EXPECT_EQ(ui->BitBtn1->text(), QStringLiteral("Nema spojenih čitača?"));
        EXPECT_EQ(ui->Action1->text(), "Postavke");
        EXPECT_EQ(ui->Action2->text(), "Izlazak");
        EXPECT_EQ(ui->Action3->text(), "Autor");
        EXPECT_EQ(ui->Action4->text(), "Hrvatski");
        EXPECT_EQ(ui->Action5->text(), "Engleski");
        EXPECT_EQ(ui->Action2->property("category").toString(), "Podaci");
        EXPECT_EQ(ui->Action4->property("category").toString(), "Jezik");
    }
    EXPECT_EQ(window->LogLines().size(), logged) << "switching the language logged something";
}

TEST_F(MainFormTest, LogoClicksOpenTheirPages) {
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    auto window = Open();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    for (QLabel* logo : {window->Form()->Image1, window->Form()->Image3}) {
        logo->setVisible(true);
        QTest::mouseClick(logo, Qt::LeftButton);
    }
    QDesktopServices::unsetUrlHandler("https");
    ASSERT_EQ(catcher.Urls.size(), 2);
    EXPECT_EQ(catcher.Urls[0], QUrl(TMainForm::kImage1Url));
    EXPECT_EQ(catcher.Urls[1], QUrl(TMainForm::kImage3Url));
    EXPECT_NE(catcher.Urls[0], catcher.Urls[1]);
}

// ------------------------------------------------------------ the reader list

TEST_F(MainFormTest, NoReaderAtStart) {
    auto window = Open();
    const QStringList lines = window->LogLines();
    ASSERT_GE(lines.size(), 4);
    EXPECT_EQ(lines[2], "Reader list changed");
    EXPECT_EQ(lines[3], "(SCARD_E_NO_READERS_AVAILABLE).");
    EXPECT_EQ(window->Form()->ReaderListBox->count(), 0);
    EXPECT_EQ(window->Form()->ReaderListBox->currentIndex(), -1);
    EXPECT_FALSE(window->Form()->BitBtn1->isEnabled());
}

TEST_F(MainFormTest, OneReaderAtStartIsSelectedAndReportsItsCard) {
    fakepcsc::AddReader("Reader One");
    auto window = Open();
    QStringList lines = window->LogLines();
    ASSERT_GE(lines.size(), 4);
    EXPECT_EQ(lines[2], "Reader list changed");
    EXPECT_EQ(lines[3], "New reader found: Reader One");
    EXPECT_EQ(window->Form()->ReaderListBox->currentIndex(), 0);
    ASSERT_TRUE(WaitForState(*window, "Reader One", "no card", 4)) << Dump(*window).toStdString();
    EXPECT_EQ(window->Form()->BitBtn1->text(), QStringLiteral("Umetnite tahografsku karticu"));
    // The watcher's first report changes nothing: no second "New reader found".
    ProcessFor(300ms);
    EXPECT_EQ(window->LogLines().count("New reader found: Reader One"), 1);
}

TEST_F(MainFormTest, PluggingAFirstAndThenASecondReader) {
    auto window = Open();
    QComboBox* box = window->Form()->ReaderListBox;
    const int start = window->LogLines().size();
    fakepcsc::AddReader("A");
    const int found = WaitForLine(*window, "New reader found: A", start);
    ASSERT_GT(found, start);
    EXPECT_EQ(window->LogLines()[found - 1], "Reader list changed");
    EXPECT_EQ(box->currentIndex(), 0);
    ASSERT_TRUE(WaitForState(*window, "A", "no card", found));

    fakepcsc::AddReader("B");
    ASSERT_GE(WaitForLine(*window, "New reader found: B", found), 0);
    ASSERT_EQ(box->count(), 2);
    EXPECT_EQ(box->itemText(1), "B");
    EXPECT_EQ(box->currentIndex(), 0) << "the selection left the first reader";
}

TEST_F(MainFormTest, AReaderPluggedWhileTheWindowListsIsFoundAfterwards) {
    auto window = Open();
    // The watcher's first report, after its first wait: from here on it waits
    // for changes.
    ASSERT_TRUE(ProcessUntil([&] { return window->LogLines().count("Reader list changed") >= 2; }));
    // The window lists readers on the main thread only, and only in a report:
    // B comes right after the window's listing for A, within that report.
    const auto mainThread = std::this_thread::get_id();
    std::atomic<bool> plugged{false};
    fakepcsc::AfterCall("SCardListReaders", [&] {
        if (std::this_thread::get_id() == mainThread && !plugged.exchange(true)) {
            fakepcsc::AddReader("B");
        }
    });
    fakepcsc::AddReader("A");
    ASSERT_TRUE(ProcessUntil([&] { return plugged.load(); }));
    EXPECT_TRUE(ProcessUntil([&] { return window->Form()->ReaderListBox->count() == 2; }, 3s))
        << Dump(*window).toStdString();
    fakepcsc::AfterCall("SCardListReaders", {});
    // A watcher may still be inside the action it copied: the window and its
    // watchers go before what the action refers to.
    window.reset();
}

TEST_F(MainFormTest, UnpluggingTheSelectedReaderSelectsTheFirstRemaining) {
    fakepcsc::AddReader("A");
    fakepcsc::AddReader("B");
    fakepcsc::AddReader("C");
    auto window = Open();
    QComboBox* box = window->Form()->ReaderListBox;
    ASSERT_EQ(box->count(), 3);
    box->setCurrentIndex(2);
    const int start = window->LogLines().size();
    fakepcsc::RemoveReader("C");
    const int removed = WaitForLine(*window, "Reader removed: C", start);
    ASSERT_GT(removed, start);
    EXPECT_EQ(window->LogLines()[removed - 1], "Reader list changed");
    ProcessUntil([&] { return box->count() == 2; });
    EXPECT_EQ(box->currentIndex(), 0);
    EXPECT_EQ(box->currentText(), "A");
}

TEST_F(MainFormTest, UnpluggingTheOnlyReaderEmptiesTheList) {
    fakepcsc::AddReader("Only");
    auto window = Open();
    ASSERT_TRUE(WaitForState(*window, "Only", "no card"));
    window->Action5Execute();
    const int start = window->LogLines().size();
    fakepcsc::RemoveReader("Only");
    const int removed = WaitForLine(*window, "Reader removed: Only", start);
    const QStringList lines = window->LogLines();
    // pcscd runs on without readers; Windows' service stops with the last one,
    // and the window's context with it: a line then says how to start it.
#ifdef _WIN32
    ASSERT_GT(removed, start + 2) << Dump(*window).toStdString();
    EXPECT_EQ(lines[removed - 3], "Reader list changed");
    EXPECT_EQ(lines[removed - 2], "(SCARD_E_NO_SERVICE).");
    EXPECT_EQ(lines[removed - 1], QString::fromUtf8(pcsc::kServiceNotRunningEnglish));
#else
    ASSERT_GT(removed, start + 1) << Dump(*window).toStdString();
    EXPECT_EQ(lines[removed - 2], "Reader list changed");
    EXPECT_EQ(lines[removed - 1], "(SCARD_E_NO_READERS_AVAILABLE).");
#endif
    EXPECT_EQ(window->Form()->ReaderListBox->count(), 0);
    EXPECT_EQ(window->Form()->BitBtn1->text(), "No card reader?");
    EXPECT_FALSE(window->Form()->BitBtn1->isEnabled());
}

TEST_F(MainFormTest, ACardInAnotherReaderSelectsItOnlyWhileTheSelectedOneHoldsNone) {
    fakepcsc::AddReader("A");
    fakepcsc::AddReader("B");
    fakepcsc::AddReader("C");
    auto window = Open();
    ASSERT_TRUE(WaitForState(*window, "C", "no card"));
    ASSERT_EQ(window->Form()->ReaderListBox->currentIndex(), 0);
    fakepcsc::InsertCard("B", kAtr);
    ASSERT_TRUE(WaitForState(*window, "B", "available"));
    EXPECT_EQ(window->Form()->ReaderListBox->currentIndex(), 1);
    EXPECT_TRUE(window->Form()->BitBtn1->isEnabled());
    EXPECT_EQ(window->Form()->BitBtn1->text(), QStringLiteral("Preuzmi podatke s kartice"));

    // The selected reader holds a card now: another card leaves it selected.
    const int from = window->LogLines().size();
    fakepcsc::InsertCard("C", kAtr);
    ASSERT_TRUE(WaitForState(*window, "C", "available", from));
    EXPECT_EQ(window->Form()->ReaderListBox->currentIndex(), 1);
    EXPECT_TRUE(window->Form()->BitBtn1->isEnabled());
}

TEST_F(MainFormTest, ACardHeldExclusivelyElsewhereStillEnablesTheButton) {
    fakepcsc::AddReader("A");
    fakepcsc::InsertCard("A", kAtr);
    fakepcsc::SetCardExclusive("A", true);
    auto window = Open();
    ASSERT_TRUE(WaitForState(*window, "A", "exclusive"));
    EXPECT_TRUE(window->Form()->BitBtn1->isEnabled());
    EXPECT_EQ(window->Form()->BitBtn1->text(), QStringLiteral("Preuzmi podatke s kartice"));
}

TEST_F(MainFormTest, NamesThatDifferOnlyInCaseAreTwoReaders) {
    fakepcsc::AddReader("Reader");
    fakepcsc::AddReader("READER");
    auto window = Open();
    ASSERT_EQ(window->Form()->ReaderListBox->count(), 2);
    EXPECT_EQ(window->Form()->ReaderListBox->itemText(0), "Reader");
    EXPECT_EQ(window->Form()->ReaderListBox->itemText(1), "READER");
}

TEST_F(MainFormTest, TheReadButtonFollowsTheSelectedReaderInBothLanguages) {
    struct TRow {
        const char* Word;
        bool Enabled;
        QString Croatian;
        QString English;
    };
    const TRow rows[] = {
        {"available", true, QStringLiteral("Preuzmi podatke s kartice"),
         "Read data from tachograph card"},
        {"shared", true, QStringLiteral("Preuzmi podatke s kartice"),
         "Read data from tachograph card"},
        {"bad card", false, QStringLiteral("Umetnite tahografsku karticu"),
         "Insert tachograph card"},
        {"no card", false, QStringLiteral("Umetnite tahografsku karticu"),
         "Insert tachograph card"},
    };
    fakepcsc::AddReader("A");
    auto window = Open();
    QPushButton* button = window->Form()->BitBtn1;
    for (const TRow& row : rows) {
        const int from = window->LogLines().size();
        fakepcsc::RemoveCard("A");
        const std::string word = row.Word;
        if (word != "no card") {
            fakepcsc::InsertCard("A", kAtr);
            fakepcsc::SetCardMute("A", word == "bad card");
            if (word == "shared") {
                // Another program's shared connection marks the card in use.
                TPCSCRaw other;
                ASSERT_EQ(other.Load(FAKEPCSC_PATH), 0);
                SCARDCONTEXT context = 0;
                other.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
                SCARDHANDLE handle = 0;
                DWORD protocol = 0;
                ASSERT_EQ(other.Connect(context, "A", SCARD_SHARE_SHARED, 3, &handle, &protocol),
                          0u);
                ASSERT_TRUE(WaitForState(*window, "A", row.Word, from));
                other.Disconnect(handle, SCARD_LEAVE_CARD);
                other.ReleaseContext(context);
            }
        }
        ASSERT_TRUE(WaitForState(*window, "A", row.Word, from)) << row.Word;
        window->Action4Execute();
        EXPECT_EQ(button->isEnabled(), row.Enabled) << row.Word;
        EXPECT_EQ(button->text(), row.Croatian) << row.Word;
        window->Action5Execute();
        EXPECT_EQ(button->isEnabled(), row.Enabled) << row.Word;
        EXPECT_EQ(button->text(), row.English) << row.Word;
    }
}

// ------------------------------------------------------------ watcher reports

namespace {
// A watcher whose report throws, as a new reader's would when its own watcher
// cannot start.
class TThrowingWatcher : public TThread {
public:
    ~TThrowingWatcher() override { Stop(); }
    std::atomic<bool> Reported{false};

protected:
    void Execute() override {
        Synchronize([] {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        });
        Reported = true;
    }
};
} // namespace

TEST_F(MainFormTest, AReportThatThrowsIsLoggedAndTheWindowGoesOn) {
    fakepcsc::AddReader("A");
    auto window = Open();
    const int from = window->LogLines().size();
    TThrowingWatcher watcher;
    watcher.Start();
    ASSERT_TRUE(ProcessUntil([&] { return watcher.Reported.load(); }));
    const QStringList log = window->LogLines().mid(from);
    ASSERT_EQ(log.filter("A watcher's report failed: ").size(), 1) << Dump(*window).toStdString();
    // Still alive and following its readers.
    fakepcsc::InsertCard("A", kAtr);
    EXPECT_TRUE(WaitForState(*window, "A", "available", from));
}

// ------------------------------------------------------------ the message box

TEST_F(MainFormTest, TheMessageBoxShowsCardBytesAsTheyAreNeverAsMarkup) {
    messagebox::SetHandler({});
    QMessageBox* seen = nullptr;
    Qt::TextFormat format = Qt::AutoText;
    QString shown;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        seen = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (seen != nullptr) {
            format = seen->textFormat();
            shown = seen->text();
            seen->accept();
        }
    });
    answer.start(10);
    messagebox::Show(nullptr, QStringLiteral("Dravik"),
                     QStringLiteral("Kartica: <b>1234</b>\rVozac: A_<br>X"));
    answer.stop();
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(shown, QStringLiteral("Kartica: <b>1234</b>\nVozac: A_<br>X"));
}

#include "MainFormTest.moc"

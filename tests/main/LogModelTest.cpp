// The message log: the model keeps every line as given, in order, and the view
// shows them without moving when lines are appended; the user copies and saves
// them, and a screen reader reads them.
#include "main/LogModel.h"
#include "main/LogView.h"
#include "main/WindowMessageBox.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <vector>

namespace {

QString Text(const TLogModel& model, int row) {
    return model.data(model.index(row), Qt::DisplayRole).toString();
}

QStringList Lines(const TLogModel& model) {
    QStringList lines;
    for (int row = 0; row < model.rowCount(); ++row) {
        lines << Text(model, row);
    }
    return lines;
}

// A log view shown on the offscreen screen, `rows` rows high.
class LogViewTest : public ::testing::Test {
protected:
    void Show(int rows) {
        AttachLog(&View, &Model);
        Model.Append(QStringLiteral("first"));
        View.resize(300, 100);
        View.show();
        QCoreApplication::processEvents();
        const int frame = View.height() - View.viewport()->height();
        View.resize(300, rows * View.RowHeight() + frame);
        QCoreApplication::processEvents();
        ASSERT_EQ(View.viewport()->height(), rows * View.RowHeight());
    }
    void Append(int count) {
        for (int i = 0; i < count; ++i) {
            Model.Append(QStringLiteral("line %1").arg(Model.rowCount()));
        }
        QCoreApplication::processEvents();
    }
    int TopRow() const { return View.indexAt(QPoint(1, 1)).row(); }

    TLogModel Model;
    TLogView View;
};

} // namespace

// -------------------------------------------------------------------- model

TEST(LogModelTest, KeepsEveryLineUnchangedAndInOrder) {
    const QStringList given = {
        QStringLiteral("Winscard.dll successfully loaded."),
        QStringLiteral("SCardEstablishContext failed with error code 8010001D "),
        QStringLiteral("(SCARD_E_NO_SERVICE)."),
        QString(),
        QStringLiteral("Čitač kartica: Šđ ŽćČ"),
        QStringLiteral("  leading blanks and a tab\there"),
        QStringLiteral("Card State changed in Virtual PCD 00 00 to "),
        QStringLiteral(" "),
        QStringLiteral("Data: ...."),
    };
    TLogModel model;
    for (int i = 0; i < given.size(); ++i) {
        model.Append(given[i]);
        EXPECT_EQ(model.rowCount(), i + 1);
    }
    EXPECT_EQ(Lines(model), given);
    EXPECT_TRUE(Text(model, 3).isEmpty());
    EXPECT_TRUE(Text(model, 1).endsWith(u' '));
    EXPECT_EQ(Text(model, 7), QStringLiteral(" "));
}

TEST(LogModelTest, ManyLinesOfDifferentLengthsEachComeBackAsGiven) {
    TLogModel model;
    std::vector<QString> given;
    for (int i = 0; i < 5000; ++i) {
        // Lengths 0 to 96 and characters of one, two and three UTF-8 bytes.
        QString line;
        for (int k = 0; k < i % 97; ++k) {
            line += QChar(k % 3 == 0 ? u'a' + (i + k) % 26 : k % 3 == 1 ? u'č' : u'€');
        }
        given.push_back(line);
        model.Append(line);
    }
    ASSERT_EQ(model.rowCount(), 5000);
    for (int row = 0; row < 5000; ++row) {
        ASSERT_EQ(Text(model, row), given[static_cast<std::size_t>(row)]) << "row " << row;
    }
}

TEST(LogModelTest, EachAppendInsertsExactlyOneRowAtTheEnd) {
    TLogModel model;
    std::vector<std::pair<int, int>> inserted;
    QObject::connect(&model, &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex& parent, int first, int last) {
                         EXPECT_FALSE(parent.isValid());
                         // The line can be read as soon as it is announced.
                         EXPECT_EQ(Text(model, last), QStringLiteral("x%1").arg(last));
                         inserted.emplace_back(first, last);
                     });
    for (int i = 0; i < 3; ++i) {
        model.Append(QStringLiteral("x%1").arg(i));
    }
    EXPECT_EQ(inserted, (std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {2, 2}}));
}

TEST(LogModelTest, AnswersNothingOutsideItsRowsAndForOtherRoles) {
    TLogModel model;
    model.Append(QStringLiteral("only"));
    EXPECT_EQ(model.rowCount(model.index(0)), 0);
    EXPECT_FALSE(model.index(1).isValid());
    EXPECT_FALSE(model.index(-1).isValid());
    EXPECT_FALSE(model.data(QModelIndex()).isValid());
    EXPECT_FALSE(model.data(model.index(0), Qt::DecorationRole).isValid());
    EXPECT_EQ(model.data(model.index(0), Qt::DisplayRole).toString(), QStringLiteral("only"));
}

// --------------------------------------------------------------------- view

TEST_F(LogViewTest, AppendingLeavesTheTopOfAFullBoxWhereItWas) {
    Show(10);
    Append(30);
    EXPECT_EQ(View.verticalScrollBar()->value(), 0);
    EXPECT_EQ(TopRow(), 0);
    EXPECT_EQ(View.verticalScrollBar()->maximum(), 31 - 10);
}

TEST_F(LogViewTest, AppendingLeavesAScrolledBoxWhereItWas) {
    Show(10);
    Append(199);
    View.verticalScrollBar()->setValue(120);
    QCoreApplication::processEvents();
    ASSERT_EQ(TopRow(), 120);

    Append(50);
    EXPECT_EQ(View.verticalScrollBar()->value(), 120);
    EXPECT_EQ(TopRow(), 120);
    EXPECT_EQ(View.indexAt(QPoint(1, 1)).data().toString(), QStringLiteral("line 120"));
    // The new lines lie below and are reached by scrolling down.
    EXPECT_EQ(View.verticalScrollBar()->maximum(), 250 - 10);
    View.verticalScrollBar()->setValue(View.verticalScrollBar()->maximum());
    QCoreApplication::processEvents();
    const QPoint lastRow(1, 9 * View.RowHeight() + 1);
    EXPECT_EQ(View.indexAt(lastRow).data().toString(), QStringLiteral("line 249"));
}

TEST_F(LogViewTest, AppendingDuringAPaintingHoldShowsTheLinesWhenItEnds) {
    Show(10);
    View.setUpdatesEnabled(false);
    Append(40);
    EXPECT_EQ(Model.rowCount(), 41);
    View.setUpdatesEnabled(true);
    QCoreApplication::processEvents();
    EXPECT_EQ(TopRow(), 0);
    EXPECT_EQ(View.verticalScrollBar()->maximum(), 41 - 10);
}

TEST_F(LogViewTest, AClickSelectsALineAndAppendingKeepsTheSelection) {
    Show(10);
    Append(20);
    View.verticalScrollBar()->setValue(5);
    QCoreApplication::processEvents();
    QTest::mouseClick(View.viewport(), Qt::LeftButton, {},
                      QPoint(10, 3 * View.RowHeight() + View.RowHeight() / 2));
    ASSERT_EQ(View.currentIndex().row(), 8);
    const QModelIndexList selected = View.selectionModel()->selectedIndexes();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0].row(), 8);

    Append(20);
    EXPECT_EQ(View.currentIndex().row(), 8);
    EXPECT_EQ(View.selectionModel()->selectedIndexes(), selected);
    EXPECT_EQ(TopRow(), 5);
}

TEST_F(LogViewTest, KeysMoveTheSelectionAndScrollToIt) {
    Show(10);
    Append(99);
    View.setFocus();
    View.setCurrentIndex(Model.index(0));
    QTest::keyClick(&View, Qt::Key_Down);
    EXPECT_EQ(View.currentIndex().row(), 1);
    QTest::keyClick(&View, Qt::Key_PageDown);
    EXPECT_EQ(View.currentIndex().row(), 11);
    // The current line is scrolled into view at the bottom, wholly visible.
    EXPECT_EQ(TopRow(), 2);
    QTest::keyClick(&View, Qt::Key_End);
    EXPECT_EQ(View.currentIndex().row(), 99);
    EXPECT_EQ(TopRow(), 90);
    QTest::keyClick(&View, Qt::Key_Down);
    EXPECT_EQ(View.currentIndex().row(), 99);
    QTest::keyClick(&View, Qt::Key_Home);
    EXPECT_EQ(View.currentIndex().row(), 0);
    EXPECT_EQ(TopRow(), 0);
    QTest::keyClick(&View, Qt::Key_Up);
    EXPECT_EQ(View.currentIndex().row(), 0);
}

TEST_F(LogViewTest, EveryShownRowLiesWhereItsLineIsHit) {
    Show(10);
    Append(40);
    View.scrollTo(Model.index(17), QAbstractItemView::PositionAtTop);
    QCoreApplication::processEvents();
    for (int row = 17; row < 27; ++row) {
        const QRect rect = View.visualRect(Model.index(row));
        EXPECT_EQ(rect.top(), (row - 17) * View.RowHeight());
        EXPECT_EQ(rect.height(), View.RowHeight());
        EXPECT_EQ(View.indexAt(rect.center()).row(), row);
    }
    View.scrollTo(Model.index(3), QAbstractItemView::EnsureVisible);
    EXPECT_EQ(TopRow(), 3);
    View.scrollTo(Model.index(30), QAbstractItemView::EnsureVisible);
    EXPECT_EQ(TopRow(), 21);
    View.scrollTo(Model.index(25), QAbstractItemView::EnsureVisible);
    EXPECT_EQ(TopRow(), 21);
    // Below the last line there is no line to hit.
    View.verticalScrollBar()->setValue(View.verticalScrollBar()->maximum());
    EXPECT_FALSE(View.indexAt(QPoint(1, 10 * View.RowHeight() + 1)).isValid());
}

TEST_F(LogViewTest, PaintsTextOnlyOnRowsThatHaveLines) {
    Show(10);
    Model.Append(QStringLiteral("WWWWWWWWWWWWWWWWWWWW"));
    QCoreApplication::processEvents();
    const QImage image = View.viewport()->grab().toImage();
    // Ink: the dark pixels of text, not the light marks of the current row.
    auto inkIn = [&](int row) {
        int ink = 0;
        for (int y = row * View.RowHeight(); y < (row + 1) * View.RowHeight(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                ink += image.pixelColor(x, y).lightness() < 128 ? 1 : 0;
            }
        }
        return ink;
    };
    EXPECT_GT(inkIn(0), 0);
    EXPECT_GT(inkIn(1), inkIn(0));
    for (int row = 2; row < 10; ++row) {
        EXPECT_EQ(inkIn(row), 0) << "row " << row;
    }
}

// ------------------------------------------------ copying, saving, reading

namespace {

QPoint RowPoint(const TLogView& view, int visibleRow) {
    return {10, visibleRow * view.RowHeight() + view.RowHeight() / 2};
}

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// A saved log's bytes: each line ends as the system's text files do, so that
// Notepad before Windows 10 shows the lines apart.
QByteArray Lines(std::initializer_list<const char*> lines) {
#ifdef _WIN32
    const char* end = "\r\n";
#else
    const char* end = "\n";
#endif
    QByteArray bytes;
    for (const char* line : lines) {
        bytes += QByteArray(line) + end;
    }
    return bytes;
}

// Opens the context menu at the first row; `choose` gets its action texts and
// returns the one to trigger, empty for none.
QStringList ContextMenu(TLogView& view, const QString& choose) {
    const QPoint at = RowPoint(view, 0);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, view.viewport()->mapToGlobal(at));
    QApplication::sendEvent(view.viewport(), &event);
    QStringList texts;
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) {
        return texts;
    }
    QAction* chosen = nullptr;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator()) {
            texts << action->text() + (action->isEnabled() ? "" : " (disabled)");
            if (action->text() == choose) {
                chosen = action;
            }
        }
    }
    menu->close();
    if (chosen != nullptr) {
        chosen->trigger();
    }
    QCoreApplication::processEvents();
    return texts;
}

} // namespace

TEST_F(LogViewTest, CtrlCCopiesTheSelectedLinesOnceEachInLogOrder) {
    Show(8);
    Append(20);
    View.setFocus();
    QApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::keyClick(&View, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "before") << "nothing selected, nothing copied";

    // Lines 3 to 5 by click and Shift+click, then line 1 with Ctrl+click.
    QTest::mouseClick(View.viewport(), Qt::LeftButton, {}, RowPoint(View, 3));
    QTest::mouseClick(View.viewport(), Qt::LeftButton, Qt::ShiftModifier, RowPoint(View, 5));
    QTest::mouseClick(View.viewport(), Qt::LeftButton, Qt::ControlModifier, RowPoint(View, 1));
    QTest::keyClick(&View, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "line 1\nline 3\nline 4\nline 5");

    // Overlapping ranges, as a keyboard and a mouse selection can make them.
    View.selectionModel()->select(QItemSelection(Model.index(12), Model.index(14)),
                                  QItemSelectionModel::ClearAndSelect);
    View.selectionModel()->select(QItemSelection(Model.index(10), Model.index(13)),
                                  QItemSelectionModel::Select);
    EXPECT_EQ(View.SelectedText(), "line 10\nline 11\nline 12\nline 13\nline 14");
}

TEST_F(LogViewTest, TheContextMenuCopiesSelectsAllAndSavesInTheWindowsLanguage) {
    Show(4);
    Append(2);
    EXPECT_EQ(ContextMenu(View, {}),
              (QStringList{"Kopiraj (disabled)", "Odaberi sve", "Spremi zapisnik..."}));
    QTest::mouseClick(View.viewport(), Qt::LeftButton, {}, RowPoint(View, 1));
    EXPECT_EQ(ContextMenu(View, QStringLiteral("Kopiraj")).value(0), "Kopiraj");
    EXPECT_EQ(QApplication::clipboard()->text(), "line 1");

    View.SetCroatian(false);
    EXPECT_EQ(ContextMenu(View, QStringLiteral("Select all")),
              (QStringList{"Copy", "Select all", "Save log..."}));
    EXPECT_EQ(View.SelectedText(), "first\nline 1\nline 2");

    QTemporaryDir dir;
    QString proposed;
    TLogView::SetSaveNameHandler([&](const QString& offered) {
        proposed = offered;
        return dir.filePath(QStringLiteral("chosen.txt"));
    });
    ContextMenu(View, QStringLiteral("Save log..."));
    TLogView::SetSaveNameHandler({});
    EXPECT_TRUE(proposed.endsWith(QStringLiteral(".txt"))) << proposed.toStdString();
    EXPECT_EQ(FileBytes(dir.filePath(QStringLiteral("chosen.txt"))),
              Lines({"first", "line 1", "line 2"}));
}

TEST_F(LogViewTest, SavingWritesEveryLineWholeOrLeavesTheOldFileAndSaysWhy) {
    Show(4);
    Model.Append(QStringLiteral("Čitač kartica: Šđ"));
    Model.Append(QString());
    Model.Append(QStringLiteral("ends in a blank "));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("an older and much longer log that must not show through\n");
    old.close();

    EXPECT_TRUE(View.SaveLog(path));
    EXPECT_EQ(FileBytes(path), Lines({"first", "\xC4\x8Cita\xC4\x8D kartica: \xC5\xA0\xC4\x91", "",
                                      "ends in a blank "}));

    QStringList shown;
    messagebox::SetHandler([&](const QString&, const QString& text) { shown << text; });
    View.SetCroatian(false);
    // A folder where the file should be: nothing written, the folder kept.
    const QString taken = dir.filePath(QStringLiteral("taken"));
    ASSERT_TRUE(QDir().mkdir(taken));
    EXPECT_FALSE(View.SaveLog(taken));
    EXPECT_FALSE(View.SaveLog(dir.filePath(QStringLiteral("missing/log.txt"))));
    messagebox::SetHandler({});
    ASSERT_EQ(shown.size(), 2);
    EXPECT_TRUE(shown[0].startsWith("The log was not saved to " + QDir::toNativeSeparators(taken)))
        << shown[0].toStdString();
    EXPECT_TRUE(shown[1].contains(QStringLiteral("missing"))) << shown[1].toStdString();
    EXPECT_GT(shown[1].section(u'\r', 1).size(), 3) << "the system's reason is given";
    EXPECT_TRUE(QFileInfo(taken).isDir());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"log.txt"});
}

// Reading every line over AT-SPI is tests/atspi; here what a reader does
// besides: selecting, and lines that change under it.
TEST_F(LogViewTest, AScreenReaderSelectsLinesAndReadsTheLinesOfTheModelShown) {
    Show(3);
    Append(10);
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&View);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->tableInterface(), nullptr);
    ASSERT_EQ(list->childCount(), 11);
    EXPECT_EQ(list->child(4), list->child(4)) << "one interface per line";
    EXPECT_EQ(list->indexOfChild(list->child(4)), 4);
    EXPECT_EQ(list->child(11), nullptr);

    View.selectionModel()->select(Model.index(2), QItemSelectionModel::Select);
    EXPECT_EQ(list->tableInterface()->selectedRows(), QList<int>{2});
    EXPECT_TRUE(list->child(2)->state().selected);
    EXPECT_TRUE(list->tableInterface()->selectRow(5));
    EXPECT_TRUE(View.selectionModel()->isSelected(Model.index(5)));

    Append(1);
    ASSERT_EQ(list->childCount(), 12);
    EXPECT_EQ(list->child(11)->text(QAccessible::Name), "line 11");

    TLogModel other;
    other.Append(QStringLiteral("other"));
    View.setModel(&other);
    ASSERT_EQ(list->childCount(), 1);
    EXPECT_EQ(list->child(0)->text(QAccessible::Name), "other");
    EXPECT_EQ(list->child(1), nullptr);
    View.setModel(&Model);
}

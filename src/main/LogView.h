// The list box that shows the message log. Every line is one row of one
// height, so where a row lies is plain arithmetic: appending a line costs the
// same with ten lines as with a million, where QListView lays out every row
// again after each insert.
//
// The user can select lines, copy them (Ctrl+C or the context menu) and save
// the whole log as a text file; screen readers see every line
// (LogAccessible.h).
#pragma once

#include <QAbstractItemView>
#include <functional>

class QAction;

class TLogView : public QAbstractItemView {
    Q_OBJECT

public:
    explicit TLogView(QWidget* parent = nullptr);

    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;
    void doItemsLayout() override;

    // Height of every row in pixels: the delegate's height for the first row.
    int RowHeight() const;
    // The row shown at the top of the viewport.
    int TopRow() const;

    // Captions of the view's actions and its save dialog in Croatian or
    // English, as the window's language is.
    void SetCroatian(bool croatian);
    // "Save log...": the main window shows it in its menu too.
    QAction* SaveAction() const { return FSaveAction; }
    QAction* CopyAction() const { return FCopyAction; }

    // The selected lines, oldest first, joined by line feeds.
    QString SelectedText() const;
    // Puts the selected lines on the clipboard; nothing when none is selected.
    void CopySelection();
    // Writes every line, each ended by a line break, in UTF-8 to `path`,
    // replacing it only once the whole text is written. A failure is shown in
    // a message box naming the file and the system's reason; false then.
    bool SaveLog(const QString& path);
    // Asks for a file name and saves the log there.
    void SaveLogAs();

    // Replaces the save dialog: `ask` gets the proposed path and returns the
    // chosen one, empty for none. An empty function brings the dialog back.
    static void SetSaveNameHandler(std::function<QString(const QString& proposed)> ask);

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex& index) const override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    int RowCount() const;
    // Rows that fit wholly into the viewport, at least one.
    int VisibleRows() const;

    mutable int FRowHeight = 0;
    bool FCroatian = true;
    QAction* FCopyAction = nullptr;
    QAction* FSelectAllAction = nullptr;
    QAction* FSaveAction = nullptr;
};

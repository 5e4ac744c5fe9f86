// The list box that shows the message log. Every line is one row of one
// height, so where a row lies is plain arithmetic: appending a line costs the
// same with ten lines as with a million, where QListView lays out every row
// again after each insert.
#pragma once

#include <QAbstractItemView>

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

private:
    int RowCount() const;
    // Rows that fit wholly into the viewport, at least one.
    int VisibleRows() const;

    mutable int FRowHeight = 0;
};

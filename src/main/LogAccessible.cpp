#include "main/LogAccessible.h"

#include "main/LogView.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QItemSelectionModel>
#include <QPointer>
#include <QWindow>
#include <algorithm>

namespace {

QModelIndex RowIndex(const TLogView* view, int row) {
    if (view == nullptr || view->model() == nullptr || row < 0 ||
        row >= view->model()->rowCount(view->rootIndex())) {
        return {};
    }
    return view->model()->index(row, 0, view->rootIndex());
}

// One line of the log. It holds the view weakly and its row only: the text is
// read from the model when asked, so a million lines cost nothing until a
// reader walks them, and a line asked for after its view is gone is invalid
// rather than dangling.
class TLogLineAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    TLogLineAccessible(TLogView* view, int row) : FView(view), FRow(row) {}

    bool isValid() const override { return RowIndex(FView, FRow).isValid(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override {
        return FView != nullptr ? FView->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface* parent() const override {
        return FView != nullptr ? QAccessible::queryAccessibleInterface(FView.data()) : nullptr;
    }
    QAccessibleInterface* child(int /*index*/) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface* /*child*/) const override { return -1; }
    QAccessibleInterface* childAt(int /*x*/, int /*y*/) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        const QModelIndex index = RowIndex(FView, FRow);
        if (!index.isValid() || (t != QAccessible::Name && t != QAccessible::Value)) {
            return {};
        }
        return t == QAccessible::Name ? index.data(Qt::DisplayRole).toString() : QString();
    }
    void setText(QAccessible::Text /*t*/, const QString& /*text*/) override {}

    QRect rect() const override {
        const QModelIndex index = RowIndex(FView, FRow);
        if (!index.isValid()) {
            return {};
        }
        QRect area = FView->visualRect(index);
        area.translate(FView->viewport()->mapToGlobal(QPoint(0, 0)));
        return area;
    }

    QAccessible::Role role() const override { return QAccessible::ListItem; }

    QAccessible::State state() const override {
        QAccessible::State st;
        const QModelIndex index = RowIndex(FView, FRow);
        if (!index.isValid()) {
            st.invalid = true;
            return st;
        }
        st.selectable = true;
        st.multiSelectable = true;
        st.focusable = true;
        st.selected = isSelected();
        st.focused = FView->hasFocus() && FView->currentIndex() == index;
        // Lines scrolled out of the viewport are there but not shown, as
        // QListView's are.
        if (!FView->viewport()->rect().intersects(FView->visualRect(index))) {
            st.invisible = true;
            st.offscreen = true;
        }
        return st;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        return t == QAccessible::TableCellInterface
                   ? static_cast<QAccessibleTableCellInterface*>(this)
                   : nullptr;
    }

    bool isSelected() const override {
        const QModelIndex index = RowIndex(FView, FRow);
        return index.isValid() && FView->selectionModel() != nullptr &&
               FView->selectionModel()->isSelected(index);
    }
    QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return 0; }
    int rowIndex() const override { return FRow; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

private:
    QPointer<TLogView> FView;
    int FRow;
};

// The log as a one-column list. Child i is line i: the log has no header.
class TLogViewAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit TLogViewAccessible(TLogView* view) : QAccessibleWidget(view, QAccessible::List) {}

    ~TLogViewAccessible() override { Forget(); }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableInterface) {
            return static_cast<QAccessibleTableInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(t);
    }

    int childCount() const override { return rowCount(); }
    QAccessibleInterface* child(int index) const override { return cellAt(index, 0); }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (child == nullptr || child->parent() != this || child->role() != QAccessible::ListItem) {
            return -1;
        }
        auto* cell = const_cast<QAccessibleInterface*>(child)->tableCellInterface();
        return cell != nullptr ? cell->rowIndex() : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint point = View()->viewport()->mapFromGlobal(QPoint(x, y));
        const QModelIndex index = View()->indexAt(point);
        return index.isValid() ? cellAt(index.row(), 0) : nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        const QModelIndex current = View()->currentIndex();
        return current.isValid() ? cellAt(current.row(), 0) : nullptr;
    }

    QAccessibleInterface* cellAt(int row, int column) const override {
        if (column != 0 || !RowIndex(View(), row).isValid()) {
            return nullptr;
        }
        // A line keeps one interface, and so one id, for as long as the list
        // lives: a reader that remembered it finds the same line again.
        const auto found = FRowIds.constFind(row);
        if (found != FRowIds.constEnd()) {
            return QAccessible::accessibleInterface(*found);
        }
        auto* line = new TLogLineAccessible(View(), row);
        FRowIds.insert(row, QAccessible::registerAccessibleInterface(line));
        return line;
    }
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    int columnCount() const override { return View()->model() != nullptr ? 1 : 0; }
    int rowCount() const override {
        return View()->model() != nullptr ? View()->model()->rowCount(View()->rootIndex()) : 0;
    }
    QString columnDescription(int /*column*/) const override { return {}; }
    QString rowDescription(int /*row*/) const override { return {}; }

    int selectedCellCount() const override { return selectedRowCount(); }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override {
        int count = 0;
        if (View()->selectionModel() != nullptr) {
            for (const QItemSelectionRange& range : View()->selectionModel()->selection()) {
                count += range.height();
            }
        }
        return count;
    }
    QList<QAccessibleInterface*> selectedCells() const override {
        QList<QAccessibleInterface*> cells;
        for (int row : selectedRows()) {
            cells.append(cellAt(row, 0));
        }
        return cells;
    }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override {
        QList<int> rows;
        if (View()->selectionModel() != nullptr) {
            for (const QItemSelectionRange& range : View()->selectionModel()->selection()) {
                for (int row = range.top(); row <= range.bottom(); ++row) {
                    rows.append(row);
                }
            }
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    bool isColumnSelected(int /*column*/) const override { return false; }
    bool isRowSelected(int row) const override {
        const QModelIndex index = RowIndex(View(), row);
        return index.isValid() && View()->selectionModel() != nullptr &&
               View()->selectionModel()->isSelected(index);
    }
    bool selectRow(int row) override { return Select(row, QItemSelectionModel::Select); }
    bool selectColumn(int /*column*/) override { return false; }
    bool unselectRow(int row) override { return Select(row, QItemSelectionModel::Deselect); }
    bool unselectColumn(int /*column*/) override { return false; }

    void modelChange(QAccessibleTableModelChangeEvent* event) override {
        // The log only ever appends, which moves no line. Anything else (a new
        // model, a reset) renumbers lines, and an interface must never answer
        // for a line other than its own: they are all let go.
        if (event->modelChangeType() != QAccessibleTableModelChangeEvent::RowsInserted ||
            event->firstRow() < rowCount() - (event->lastRow() - event->firstRow() + 1)) {
            Forget();
        }
    }

private:
    TLogView* View() const { return static_cast<TLogView*>(widget()); }

    bool Select(int row, QItemSelectionModel::SelectionFlags how) {
        const QModelIndex index = RowIndex(View(), row);
        if (!index.isValid() || View()->selectionModel() == nullptr) {
            return false;
        }
        View()->selectionModel()->select(index, how | QItemSelectionModel::Rows);
        return true;
    }

    void Forget() const {
        for (QAccessible::Id id : std::as_const(FRowIds)) {
            QAccessible::deleteAccessibleInterface(id);
        }
        FRowIds.clear();
    }

    mutable QHash<int, QAccessible::Id> FRowIds;
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
    if (className == QLatin1String("TLogView") && object != nullptr && object->isWidgetType()) {
        return new TLogViewAccessible(static_cast<TLogView*>(object));
    }
    return nullptr;
}

} // namespace

namespace logaccessible {

void Install() {
    static const bool installed = [] {
        QAccessible::installFactory(Factory);
        return true;
    }();
    (void)installed;
}

} // namespace logaccessible

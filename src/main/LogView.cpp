#include "main/LogView.h"

#include "main/LogAccessible.h"
#include "main/LogModel.h"
#include "main/WindowMessageBox.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QSaveFile>
#include <QScrollBar>
#include <QStandardPaths>
#include <algorithm>
#include <utility>
#include <vector>

namespace {

std::function<QString(const QString&)>& SaveNameHandler() {
    static std::function<QString(const QString&)> handler;
    return handler;
}

} // namespace

TLogView::TLogView(QWidget* parent) : QAbstractItemView(parent) {
    logaccessible::Install();
    // Lines are selected as in a list box, and several at once with Shift and
    // Ctrl for copying.
    setSelectionMode(ExtendedSelection);
    setSelectionBehavior(SelectRows);
    // Like a list box, the log does not scroll sideways: a long line is cut at
    // the right edge.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    FCopyAction = new QAction(this);
    FCopyAction->setShortcut(QKeySequence::Copy);
    FCopyAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(FCopyAction, &QAction::triggered, this, &TLogView::CopySelection);
    addAction(FCopyAction);
    FSelectAllAction = new QAction(this);
    FSelectAllAction->setShortcut(QKeySequence::SelectAll);
    FSelectAllAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(FSelectAllAction, &QAction::triggered, this, &TLogView::selectAll);
    addAction(FSelectAllAction);
    FSaveAction = new QAction(this);
    connect(FSaveAction, &QAction::triggered, this, &TLogView::SaveLogAs);
    SetCroatian(true);
}

void TLogView::SetCroatian(bool croatian) {
    FCroatian = croatian;
    // What a screen reader calls the list.
    setAccessibleName(croatian ? QStringLiteral("Zapisnik") : QStringLiteral("Log"));
    FCopyAction->setText(croatian ? QStringLiteral("Kopiraj") : QStringLiteral("Copy"));
    FSelectAllAction->setText(croatian ? QStringLiteral("Odaberi sve")
                                       : QStringLiteral("Select all"));
    FSaveAction->setText(croatian ? QStringLiteral("Spremi zapisnik...")
                                  : QStringLiteral("Save log..."));
}

void TLogView::SetSaveNameHandler(std::function<QString(const QString&)> ask) {
    SaveNameHandler() = std::move(ask);
}

QString TLogView::SelectedText() const {
    if (model() == nullptr || selectionModel() == nullptr) {
        return {};
    }
    // Ranges in the order they were selected, possibly overlapping: merged
    // into rows in the log's order, so that a line is copied once.
    std::vector<std::pair<int, int>> ranges;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        if (range.parent() == rootIndex()) {
            ranges.emplace_back(range.top(), range.bottom());
        }
    }
    std::sort(ranges.begin(), ranges.end());
    QString text;
    int next = 0;
    bool first = true;
    for (const auto& [top, bottom] : ranges) {
        for (int row = std::max(top, next); row <= bottom; ++row) {
            if (!first) {
                text += u'\n';
            }
            first = false;
            text += model()->index(row, 0, rootIndex()).data(Qt::DisplayRole).toString();
        }
        next = std::max(next, bottom + 1);
    }
    return text;
}

void TLogView::CopySelection() {
    if (selectionModel() == nullptr || !selectionModel()->hasSelection()) {
        return;
    }
    QGuiApplication::clipboard()->setText(SelectedText());
}

bool TLogView::SaveLog(const QString& path) {
    QSaveFile file(path);
    // Text mode: line feeds become the platform's line ends.
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Text);
    if (written && model() != nullptr) {
        const auto* log = qobject_cast<const TLogModel*>(model());
        if (log != nullptr) {
            written = log->WriteTo(file);
        } else {
            const int rows = model()->rowCount(rootIndex());
            for (int row = 0; row < rows && written; ++row) {
                const QString line = model()->index(row, 0, rootIndex()).data().toString();
                written = file.write(line.toUtf8()) >= 0 && file.write("\n", 1) == 1;
            }
        }
    }
    if (written) {
        written = file.commit();
    }
    if (!written) {
        const QString reason = file.errorString();
        file.cancelWriting();
        messagebox::Show(this, QStringLiteral("Dravik"),
                         (FCroatian ? QStringLiteral("Zapisnik nije spremljen u %1:\r%2")
                                    : QStringLiteral("The log was not saved to %1:\r%2"))
                             .arg(QDir::toNativeSeparators(path), reason));
    }
    return written;
}

void TLogView::SaveLogAs() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString proposed = QDir(folder).filePath(
        QStringLiteral("dravik-log-%1.txt")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    QString path;
    if (SaveNameHandler()) {
        path = SaveNameHandler()(proposed);
    } else {
        path = QFileDialog::getSaveFileName(
            this, FCroatian ? QStringLiteral("Spremi zapisnik") : QStringLiteral("Save log"),
            proposed,
            FCroatian ? QStringLiteral("Tekstne datoteke (*.txt);;Sve datoteke (*)")
                      : QStringLiteral("Text files (*.txt);;All files (*)"));
    }
    if (!path.isEmpty()) {
        SaveLog(path);
    }
}

void TLogView::keyPressEvent(QKeyEvent* event) {
    // The item view's own Ctrl+C copies the current line only, whatever is
    // selected; reached when the shortcut is not, as in a dialog that eats it.
    if (event == QKeySequence::Copy) {
        CopySelection();
        event->accept();
        return;
    }
    QAbstractItemView::keyPressEvent(event);
}

void TLogView::contextMenuEvent(QContextMenuEvent* event) {
    const bool lines = model() != nullptr && model()->rowCount(rootIndex()) > 0;
    FCopyAction->setEnabled(selectionModel() != nullptr && selectionModel()->hasSelection());
    FSelectAllAction->setEnabled(lines);
    // Shown without a nested event loop of its own: the window may close
    // while the menu is open, and nothing may then return into a freed view.
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(FCopyAction);
    menu->addAction(FSelectAllAction);
    menu->addSeparator();
    menu->addAction(FSaveAction);
    connect(menu, &QMenu::aboutToHide, this, [this] {
        // The shortcuts work whatever the menu last showed.
        FCopyAction->setEnabled(true);
        FSelectAllAction->setEnabled(true);
    });
    menu->popup(event->globalPos());
}

int TLogView::RowCount() const {
    return model() != nullptr ? model()->rowCount(rootIndex()) : 0;
}

int TLogView::RowHeight() const {
    if (FRowHeight <= 0) {
        if (RowCount() > 0) {
            QStyleOptionViewItem option;
            initViewItemOption(&option);
            const QModelIndex first = model()->index(0, 0, rootIndex());
            FRowHeight = itemDelegateForIndex(first)->sizeHint(option, first).height();
        }
        if (FRowHeight <= 0) {
            return std::max(1, fontMetrics().height());
        }
    }
    return FRowHeight;
}

int TLogView::VisibleRows() const {
    return std::max(1, viewport()->height() / RowHeight());
}

int TLogView::TopRow() const {
    return verticalScrollBar()->value();
}

void TLogView::doItemsLayout() {
    // Reached after inserts, on a new model, a reset and a change of font or
    // style; only the last ones change the rows' height, but measuring one row
    // costs little.
    FRowHeight = 0;
    QAbstractItemView::doItemsLayout();
}

QRect TLogView::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.parent() != rootIndex() || index.column() != 0) {
        return {};
    }
    const qint64 y = static_cast<qint64>(index.row() - TopRow()) * RowHeight();
    // Rows far off screen get a rectangle that lies off screen without
    // overflowing the coordinates.
    const int clamped = static_cast<int>(std::clamp<qint64>(y, -(1 << 24), 1 << 24));
    return {0, clamped, viewport()->width(), RowHeight()};
}

QModelIndex TLogView::indexAt(const QPoint& point) const {
    if (point.y() < 0 || point.x() < 0 || point.x() >= viewport()->width()) {
        return {};
    }
    const int row = TopRow() + point.y() / RowHeight();
    return row < RowCount() ? model()->index(row, 0, rootIndex()) : QModelIndex();
}

void TLogView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid() || index.parent() != rootIndex()) {
        return;
    }
    const int row = index.row();
    const int visible = VisibleRows();
    int top = TopRow();
    switch (hint) {
    case EnsureVisible:
        if (row < top) {
            top = row;
        } else if (row >= top + visible) {
            top = row - visible + 1;
        }
        break;
    case PositionAtTop:
        top = row;
        break;
    case PositionAtBottom:
        top = row - visible + 1;
        break;
    case PositionAtCenter:
        top = row - visible / 2;
        break;
    }
    verticalScrollBar()->setValue(top);
}

QModelIndex TLogView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers /*modifiers*/) {
    const int count = RowCount();
    if (count == 0) {
        return {};
    }
    const QModelIndex current = currentIndex();
    if (!current.isValid()) {
        return model()->index(0, 0, rootIndex());
    }
    int row = current.row();
    switch (cursorAction) {
    case MoveUp:
    case MovePrevious:
        --row;
        break;
    case MoveDown:
    case MoveNext:
        ++row;
        break;
    case MovePageUp:
        row -= VisibleRows();
        break;
    case MovePageDown:
        row += VisibleRows();
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = count - 1;
        break;
    case MoveLeft:
    case MoveRight:
        break;
    }
    return model()->index(std::clamp(row, 0, count - 1), 0, rootIndex());
}

int TLogView::horizontalOffset() const {
    return 0;
}

int TLogView::verticalOffset() const {
    return TopRow() * RowHeight();
}

bool TLogView::isIndexHidden(const QModelIndex& /*index*/) const {
    return false;
}

void TLogView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
    if (selectionModel() == nullptr) {
        return;
    }
    const int count = RowCount();
    const QRect area = rect.normalized();
    const int first = TopRow() + std::max(0, area.top()) / RowHeight();
    const int last = std::min(count - 1, TopRow() + std::max(0, area.bottom()) / RowHeight());
    QItemSelection selection;
    if (first <= last) {
        selection.select(model()->index(first, 0, rootIndex()),
                         model()->index(last, 0, rootIndex()));
    }
    selectionModel()->select(selection, command);
}

QRegion TLogView::visualRegionForSelection(const QItemSelection& selection) const {
    QRegion region;
    const int top = TopRow();
    const int bottom = top + VisibleRows() + 1;
    for (const QItemSelectionRange& range : selection) {
        if (range.parent() != rootIndex() || range.bottom() < top || range.top() > bottom) {
            continue;
        }
        const int first = std::max(range.top(), top);
        const int last = std::min(range.bottom(), bottom);
        region += QRect(0, (first - top) * RowHeight(), viewport()->width(),
                        (last - first + 1) * RowHeight());
    }
    return region;
}

void TLogView::paintEvent(QPaintEvent* event) {
    const int count = RowCount();
    if (count == 0) {
        return;
    }
    QPainter painter(viewport());
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QStyle::State state = option.state;
    const QModelIndex current = currentIndex();
    const bool focus = hasFocus() || viewport()->hasFocus();

    const QRect area = event->rect();
    const int first = TopRow() + std::max(0, area.top()) / RowHeight();
    const int last = std::min(count - 1, TopRow() + std::max(0, area.bottom()) / RowHeight());
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        option.rect = visualRect(index);
        option.state = state;
        if (selectionModel() != nullptr && selectionModel()->isSelected(index)) {
            option.state |= QStyle::State_Selected;
        }
        if ((model()->flags(index) & Qt::ItemIsEnabled) == 0) {
            option.state &= ~QStyle::State_Enabled;
        }
        option.palette.setCurrentColorGroup(
            (option.state & QStyle::State_Enabled) != 0 ? QPalette::Normal : QPalette::Disabled);
        if (focus && index == current) {
            option.state |= QStyle::State_HasFocus;
        }
        itemDelegateForIndex(index)->paint(&painter, option, index);
    }
}

void TLogView::scrollContentsBy(int dx, int dy) {
    // The scroll bar counts rows; the viewport moves by pixels.
    scrollDirtyRegion(dx, dy * RowHeight());
    viewport()->scroll(dx, dy * RowHeight());
}

void TLogView::updateGeometries() {
    const int visible = VisibleRows();
    verticalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setPageStep(visible);
    verticalScrollBar()->setRange(0, std::max(0, RowCount() - visible));
    horizontalScrollBar()->setRange(0, 0);
    QAbstractItemView::updateGeometries();
}

void TLogView::rowsInserted(const QModelIndex& parent, int start, int end) {
    QAbstractItemView::rowsInserted(parent, start, end);
    // The scroll bar follows once per pass of the event loop, not once per
    // line: its range change costs more than storing the line. Its value, the
    // top row, stays put, so appended lines wait below the visible part until
    // the user scrolls down.
    scheduleDelayedItemsLayout();
}

#include "main/LogModel.h"

#include "main/LogView.h"

#include <QIODevice>

TLogModel::TLogModel(QObject* parent) : QAbstractListModel(parent) {}

void TLogModel::Append(const QString& line) {
    const int row = static_cast<int>(FEnds.size());
    const QByteArray utf8 = line.toUtf8();
    beginInsertRows(QModelIndex(), row, row);
    FText.append(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    FEnds.push_back(FText.size());
    endInsertRows();
}

int TLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(FEnds.size());
}

QVariant TLogModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !checkIndex(index, CheckIndexOption::IndexIsValid)) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    const std::size_t begin = row == 0 ? 0 : FEnds[row - 1];
    return QString::fromUtf8(FText.data() + begin, static_cast<qsizetype>(FEnds[row] - begin));
}

bool TLogModel::WriteTo(QIODevice& device) const {
    std::size_t begin = 0;
    for (const std::size_t end : FEnds) {
        const auto length = static_cast<qint64>(end - begin);
        if (device.write(FText.data() + begin, length) != length || !device.putChar('\n')) {
            return false;
        }
        begin = end;
    }
    return true;
}

void AttachLog(TLogView* view, TLogModel* model) {
    view->setModel(model);
}

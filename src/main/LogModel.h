// The message log's lines behind LogBox: appended one at a time for the whole
// run, never trimmed nor cleared.
#pragma once

#include <QAbstractListModel>
#include <cstddef>
#include <string>
#include <vector>

class QIODevice;
class TLogView;

class TLogModel : public QAbstractListModel {
    Q_OBJECT

public:
    explicit TLogModel(QObject* parent = nullptr);

    // Adds `line` unchanged as the new last row.
    void Append(const QString& line);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Writes every line in UTF-8, each followed by a line feed; false when a
    // write fails.
    bool WriteTo(QIODevice& device) const;

private:
    // The program runs for weeks: one UTF-8 buffer and an end offset per line
    // cost a few bytes over the text itself, where a QString per line would
    // cost its UTF-16 text plus a heap block.
    std::string FText;
    std::vector<std::size_t> FEnds;
};

// Puts `model` behind `view` with the settings a long, growing log needs.
void AttachLog(TLogView* view, TLogModel* model);

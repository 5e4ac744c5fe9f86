// What the card-contents window and its PDF report both say, in Croatian or
// English: the header's facts, the validity warning and the tables of
// vehicles, events and faults. One place, so the two never disagree.
#pragma once

#include "carddata/CardData.h"
#include "rules/Rules.h"

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace contents {

inline QString Tr(bool croatian, const char* hr, const char* en) {
    return QString::fromUtf8(croatian ? hr : en);
}

enum class TSignatures { Valid, NotValid, NotChecked };

// The file's signatures as checked when it was opened.
struct TSignatureVerdict {
    TSignatures Verdict = TSignatures::NotChecked;
    std::string Detail; // "12 of 12 signatures valid", or why not checked
};

// Dates as the office reads them, UTC: "03.11.2026" / "2026-11-03"; with
// the time "03.11.2026 05:30". A time of 0 is "not recorded".
QString DateText(carddata::TTime time, bool croatian);
QString DateTimeText(carddata::TTime time, bool croatian);
// "Po 03.11." / "Mon 11-03", for the chart's rows.
QString ShortDayText(carddata::TTime date, bool croatian);
// "9:05"
QString DurationText(int minutes);

// The warning for a card that expires within 30 days of `now` or has
// expired; empty when neither (or the expiry is not recorded).
QString ValidityWarning(const carddata::TCard& card, carddata::TTime now, bool croatian);

struct TFact {
    QString Label, Value;
};
// The driver, the card, its validity, the period covered, the last download
// and the signatures, in the order shown.
std::vector<TFact> HeaderFacts(const carddata::TCardData& data, const TSignatureVerdict& verdict,
                               bool croatian);
QString SignatureText(const TSignatureVerdict& verdict, bool croatian);

struct TTable {
    QString Title;
    QStringList Columns;
    std::vector<QStringList> Rows;
};
TTable VehicleTable(const carddata::TCardData& data, bool croatian);
TTable EventTable(const std::vector<carddata::TEvent>& events, bool faults, bool croatian);
// The lines the decoder could not read; no rows when it read them all.
TTable ErrorTable(const carddata::TCardData& data, bool croatian);
// The driving and rest rules' infringements; the detail stays in English.
TTable InfringementTable(const rules::TJudgement& judgement, bool croatian);
QString RuleName(const std::string& rule, bool croatian);

QString WindowTitle(const carddata::TCardData& data, bool croatian);

} // namespace contents

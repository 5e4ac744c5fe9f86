#include "contents/ContentsText.h"

#include <QDateTime>
#include <algorithm>

namespace contents {

namespace {

constexpr carddata::TTime kDay = 24 * 60 * 60;

QDateTime Utc(carddata::TTime time) {
    return QDateTime::fromSecsSinceEpoch(time, Qt::UTC);
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QString NotRecorded(bool croatian) {
    return Tr(croatian, "nije zapisano", "not recorded");
}

// "1 dan", "2 dana", "21 dan"; "1 day", "2 days".
QString DaysText(long long count, bool croatian) {
    const bool one = croatian ? count % 10 == 1 && count % 100 != 11 : count == 1;
    return QString::number(count) + QLatin1Char(' ') +
           (croatian ? (one ? QStringLiteral("dan") : QStringLiteral("dana"))
                     : (one ? QStringLiteral("day") : QStringLiteral("days")));
}

QString Odometer(std::int64_t km) {
    return QString::number(km) + QStringLiteral(" km");
}

} // namespace

QString DateText(carddata::TTime time, bool croatian) {
    if (time == 0) {
        return NotRecorded(croatian);
    }
    return Utc(time).toString(croatian ? QStringLiteral("dd.MM.yyyy")
                                       : QStringLiteral("yyyy-MM-dd"));
}

QString DateTimeText(carddata::TTime time, bool croatian) {
    if (time == 0) {
        return NotRecorded(croatian);
    }
    return Utc(time).toString(croatian ? QStringLiteral("dd.MM.yyyy HH:mm")
                                       : QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString ShortDayText(carddata::TTime date, bool croatian) {
    static const char* const kCroatian[] = {"Po", "Ut", "Sr", "Če", "Pe", "Su", "Ne"};
    static const char* const kEnglish[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    const QDateTime day = Utc(date);
    const int weekday = day.date().dayOfWeek(); // 1 Monday .. 7 Sunday
    const std::size_t index =
        weekday >= 1 && weekday <= 7 ? static_cast<std::size_t>(weekday - 1) : 0;
    const char* name = (croatian ? kCroatian : kEnglish)[index];
    return QString::fromUtf8(name) + QLatin1Char(' ') +
           day.toString(croatian ? QStringLiteral("dd.MM.") : QStringLiteral("MM-dd"));
}

QString DurationText(int minutes) {
    return QStringLiteral("%1:%2").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString ValidityWarning(const carddata::TCard& card, carddata::TTime now, bool croatian) {
    if (card.ExpiryDate == 0) {
        return {};
    }
    if (card.ExpiryDate <= now) {
        return Tr(croatian, "Kartica je istekla %1!", "The card expired on %1!")
            .arg(DateText(card.ExpiryDate, croatian));
    }
    // Days begun count whole: a card that expires tomorrow morning has 1 left.
    const carddata::TTime left = (card.ExpiryDate - now + kDay - 1) / kDay;
    if (left > 30) {
        return {};
    }
    return Tr(croatian, "Kartica istječe za %1 (%2)!", "The card expires in %1 (%2)!")
        .arg(DaysText(left, croatian))
        .arg(DateText(card.ExpiryDate, croatian));
}

QString SignatureText(const TSignatureVerdict& verdict, bool croatian) {
    QString text;
    switch (verdict.Verdict) {
    case TSignatures::Valid:
        text = Tr(croatian, "valjani", "valid");
        break;
    case TSignatures::NotValid:
        text = Tr(croatian, "NISU valjani", "NOT valid");
        break;
    case TSignatures::NotChecked:
        text = Tr(croatian, "nisu provjereni", "not checked");
        break;
    }
    if (!verdict.Detail.empty()) {
        text += QStringLiteral(" (") + Q(verdict.Detail) + QLatin1Char(')');
    }
    return text;
}

std::vector<TFact> HeaderFacts(const carddata::TCardData& data, const TSignatureVerdict& verdict,
                               bool croatian) {
    const carddata::TDriver& driver = data.Driver;
    const carddata::TCard& card = data.Card;
    std::vector<TFact> facts;
    QString name = Q(driver.Surname);
    if (!driver.FirstNames.empty()) {
        name += QStringLiteral(", ") + Q(driver.FirstNames);
    }
    facts.push_back({Tr(croatian, "Vozač", "Driver"), name});
    facts.push_back(
        {Tr(croatian, "Datum rođenja", "Date of birth"), DateText(driver.BirthDate, croatian)});
    facts.push_back(
        {Tr(croatian, "Vozačka dozvola", "Driving licence"),
         Q(driver.LicenceNumber) +
             (driver.LicenceNation.empty()
                  ? QString()
                  : QStringLiteral(" (") + Q(driver.LicenceNation) + QLatin1Char(')'))});
    facts.push_back({Tr(croatian, "Kartica", "Card"),
                     Q(card.Number) + QStringLiteral(" (") + Q(card.IssuingNation) +
                         QStringLiteral(", ") + Q(card.IssuingAuthority) + QStringLiteral("), ") +
                         Tr(croatian, "generacija %1", "generation %1").arg(data.Generation)});
    facts.push_back({Tr(croatian, "Valjanost", "Validity"),
                     DateText(card.ValidityBegin, croatian) + QStringLiteral(" – ") +
                         DateText(card.ExpiryDate, croatian)});
    QString period = NotRecorded(croatian);
    if (!data.Days.empty()) {
        const auto [first, last] = std::minmax_element(
            data.Days.begin(), data.Days.end(),
            [](const carddata::TDay& a, const carddata::TDay& b) { return a.Date < b.Date; });
        period = DateText(first->Date, croatian) + QStringLiteral(" – ") +
                 DateText(last->Date, croatian) +
                 Tr(croatian, " (%1 sa zapisom)", " (%1 with a record)")
                     .arg(DaysText(static_cast<long long>(data.Days.size()), croatian));
    }
    facts.push_back({Tr(croatian, "Razdoblje", "Period covered"), period});
    facts.push_back({Tr(croatian, "Zadnje preuzimanje", "Last download"),
                     data.LastCardDownload ? DateTimeText(*data.LastCardDownload, croatian)
                                           : NotRecorded(croatian)});
    facts.push_back({Tr(croatian, "Potpisi", "Signatures"), SignatureText(verdict, croatian)});
    return facts;
}

TTable VehicleTable(const carddata::TCardData& data, bool croatian) {
    TTable table;
    table.Title = Tr(croatian, "Vozila", "Vehicles");
    table.Columns = {
        Tr(croatian, "Registracija", "Registration"),  Tr(croatian, "Prvo korištenje", "First use"),
        Tr(croatian, "Zadnje korištenje", "Last use"), Tr(croatian, "Km početak", "Odometer begin"),
        Tr(croatian, "Km kraj", "Odometer end"),       Tr(croatian, "Prijeđeno", "Distance")};
    if (data.Generation >= 2) {
        table.Columns << QStringLiteral("VIN");
    }
    for (const carddata::TVehicle& vehicle : data.Vehicles) {
        QStringList row{
            Q(vehicle.Nation) + QLatin1Char(' ') + Q(vehicle.Registration),
            DateTimeText(vehicle.FirstUse, croatian), DateTimeText(vehicle.LastUse, croatian),
            Odometer(vehicle.OdometerBegin), Odometer(vehicle.OdometerEnd),
            // A lying odometer gives no negative distance.
            Odometer(std::max<std::int64_t>(0, vehicle.OdometerEnd - vehicle.OdometerBegin))};
        if (data.Generation >= 2) {
            row << (vehicle.Vin ? Q(*vehicle.Vin) : QString());
        }
        table.Rows.push_back(std::move(row));
    }
    return table;
}

TTable EventTable(const std::vector<carddata::TEvent>& events, bool faults, bool croatian) {
    TTable table;
    table.Title = faults ? Tr(croatian, "Kvarovi", "Faults") : Tr(croatian, "Događaji", "Events");
    table.Columns = {faults ? Tr(croatian, "Kvar", "Fault") : Tr(croatian, "Događaj", "Event"),
                     Tr(croatian, "Početak", "Begin"), Tr(croatian, "Kraj", "End"),
                     Tr(croatian, "Vozilo", "Vehicle")};
    for (const carddata::TEvent& event : events) {
        const QString name =
            event.Name.empty()
                ? Tr(croatian, "vrsta %1", "type %1")
                      .arg(QStringLiteral("%1").arg(event.Type, 2, 16, QLatin1Char('0')).toUpper())
                : Q(event.Name);
        table.Rows.push_back({name, DateTimeText(event.Begin, croatian),
                              DateTimeText(event.End, croatian), Q(event.Vehicle)});
    }
    return table;
}

TTable ErrorTable(const carddata::TCardData& data, bool croatian) {
    TTable table;
    table.Title = Tr(croatian, "Nepročitani zapisi", "Records not read");
    table.Columns = {Tr(croatian, "Zapis", "Record")};
    for (const std::string& error : data.Errors) {
        table.Rows.push_back({Q(error)});
    }
    return table;
}

QString RuleName(const std::string& rule, bool croatian) {
    static const struct {
        const char *Key, *Hr, *En;
    } kNames[] = {
        {"daily-driving", "dnevno vrijeme vožnje", "daily driving"},
        {"weekly-driving", "tjedno vrijeme vožnje", "weekly driving"},
        {"fortnightly-driving", "vožnja u dva uzastopna tjedna", "two weeks' driving"},
        {"break", "stanka", "break"},
        {"daily-rest", "dnevni odmor", "daily rest"},
        {"weekly-rest", "tjedni odmor", "weekly rest"},
    };
    for (const auto& name : kNames) {
        if (rule == name.Key) {
            return Tr(croatian, name.Hr, name.En);
        }
    }
    return Q(rule);
}

TTable InfringementTable(const rules::TJudgement& judgement, bool croatian) {
    TTable table;
    table.Title = Tr(croatian, "Prekršaji", "Infringements");
    table.Columns = {Tr(croatian, "Pravilo", "Rule"),      Tr(croatian, "Početak", "Begin"),
                     Tr(croatian, "Kraj", "End"),          Tr(croatian, "Vrijednost", "Value"),
                     Tr(croatian, "Granica", "Limit"),     Tr(croatian, "Težina", "Severity"),
                     Tr(croatian, "Pojedinosti", "Detail")};
    auto duration = [](int minutes) {
        return QStringLiteral("%1:%2").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
    };
    for (const rules::TFinding& finding : judgement.Infringements) {
        const char* severity = rules::SeverityCode(finding.Severity);
        table.Rows.push_back(
            {RuleName(finding.Rule, croatian), DateTimeText(finding.Start, croatian),
             DateTimeText(finding.End, croatian), duration(finding.Value), duration(finding.Limit),
             severity != nullptr ? QString::fromLatin1(severity) : QString(), Q(finding.Detail)});
    }
    return table;
}

QString WindowTitle(const carddata::TCardData& data, bool croatian) {
    QString title = Tr(croatian, "Sadržaj kartice", "Card contents");
    if (!data.Driver.Surname.empty()) {
        title += QStringLiteral(" – ") + Q(data.Driver.Surname);
    }
    return title;
}

} // namespace contents

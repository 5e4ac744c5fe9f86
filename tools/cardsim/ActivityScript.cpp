#include "cardsim/ActivityScript.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace cardsim {

namespace {

constexpr int kDay = 1440;

enum class TSlot : std::uint8_t { Rest, Availability, Work, Driving, Unknown };

struct TEntry {
    int Start = 0, Length = 0; // minutes from FirstMonday
    TSlot Slot = TSlot::Rest;
    bool Crew = false;
};

int Clock(const std::string& text, const std::string& line, bool duration) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || text.size() - colon != 3) {
        throw std::invalid_argument("not a time: " + line);
    }
    try {
        const int hours = std::stoi(text.substr(0, colon));
        const int minutes = std::stoi(text.substr(colon + 1));
        if (hours < 0 || minutes < 0 || minutes > 59 || (!duration && hours > 23)) {
            throw std::invalid_argument(line);
        }
        return hours * 60 + minutes;
    } catch (const std::logic_error&) {
        throw std::invalid_argument("not a time: " + line);
    }
}

TEntry Parse(const std::string& line) {
    static const char* const kWeekdays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    std::istringstream in(line);
    std::string day, time, kind, length, crew;
    if (!(in >> day >> time >> kind >> length)) {
        throw std::invalid_argument("expected 'DAY HH:MM KIND H:MM': " + line);
    }
    in >> crew;
    if (day.size() < 3) {
        throw std::invalid_argument("not a day: " + line);
    }
    int week = 1;
    if (day.size() > 3) {
        try {
            week = std::stoi(day.substr(0, day.size() - 3));
        } catch (const std::logic_error&) {
            throw std::invalid_argument("not a day: " + line);
        }
    }
    const std::string name = day.substr(day.size() - 3);
    const auto found = std::find(std::begin(kWeekdays), std::end(kWeekdays), name);
    if (found == std::end(kWeekdays)) {
        throw std::invalid_argument("not a day: " + line);
    }
    TEntry entry;
    entry.Start = ((week - 1) * 7 + static_cast<int>(found - std::begin(kWeekdays))) * kDay +
                  Clock(time, line, false);
    entry.Length = Clock(length, line, true);
    if (kind == "drive") {
        entry.Slot = TSlot::Driving;
    } else if (kind == "work") {
        entry.Slot = TSlot::Work;
    } else if (kind == "avail") {
        entry.Slot = TSlot::Availability;
    } else if (kind == "rest") {
        entry.Slot = TSlot::Rest;
    } else if (kind == "unknown") {
        entry.Slot = TSlot::Unknown;
    } else {
        throw std::invalid_argument("not an activity: " + line);
    }
    if (!crew.empty() && crew != "crew") {
        throw std::invalid_argument("expected 'crew' or nothing at the end: " + line);
    }
    entry.Crew = crew == "crew";
    return entry;
}

} // namespace

std::vector<carddata::TDay> DaysFromScript(const std::vector<std::string>& lines,
                                           const TScriptRange& range) {
    std::vector<TEntry> entries;
    int lastEnd = 0;
    for (const std::string& line : lines) {
        entries.push_back(Parse(line));
        lastEnd = std::max(lastEnd, entries.back().Start + entries.back().Length);
    }
    const int firstDay = range.FirstDay;
    const int lastDay = range.LastDay == -1000 ? (lastEnd + kDay - 1) / kDay : range.LastDay;
    if (lastDay < firstDay) {
        return {};
    }
    const int origin = firstDay * kDay;
    std::vector<TEntry> minutes(static_cast<std::size_t>((lastDay - firstDay + 1) * kDay));
    for (const TEntry& e : entries) {
        for (int m = std::max(e.Start, origin); m < e.Start + e.Length; ++m) {
            const auto at = static_cast<std::size_t>(m - origin);
            if (at < minutes.size()) {
                minutes[at] = e;
            }
        }
    }
    std::vector<carddata::TDay> days;
    for (int d = firstDay; d <= lastDay; ++d) {
        carddata::TDay day;
        day.Date = range.FirstMonday + static_cast<carddata::TTime>(d) * 86400;
        for (int m = 0; m < kDay; ++m) {
            const TEntry& e = minutes[static_cast<std::size_t>((d - firstDay) * kDay + m)];
            if (e.Slot == TSlot::Driving) {
                ++day.DistanceKm; // a kilometre a minute, near enough for a lorry
            }
            carddata::TActivityChange change;
            change.Minute = static_cast<std::uint16_t>(m);
            change.CardInserted = e.Slot != TSlot::Unknown;
            change.Activity = e.Slot == TSlot::Unknown
                                  ? carddata::TActivity::Rest
                                  : static_cast<carddata::TActivity>(static_cast<int>(e.Slot));
            change.Crew = e.Crew && change.CardInserted;
            if (!day.Changes.empty()) {
                const carddata::TActivityChange& last = day.Changes.back();
                if (last.Activity == change.Activity && last.Crew == change.Crew &&
                    last.CardInserted == change.CardInserted) {
                    continue;
                }
            }
            day.Changes.push_back(change);
        }
        days.push_back(day);
    }
    return days;
}

} // namespace cardsim

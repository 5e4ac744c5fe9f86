#include "rules/Rules.h"

#include <algorithm>

namespace rules {

namespace {

constexpr TMinute kDay = 1440;

TMinute FloorDiv(TMinute a, TMinute b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

TKind KindOf(const carddata::TActivityChange& change) {
    if (change.Unknown()) {
        return TKind::Unknown;
    }
    switch (change.Activity) {
    case carddata::TActivity::Rest:
        return TKind::Rest;
    case carddata::TActivity::Availability:
        return TKind::Availability;
    case carddata::TActivity::Work:
        return TKind::Work;
    case carddata::TActivity::Driving:
        return TKind::Driving;
    }
    return TKind::Unknown;
}

void Append(std::vector<TPeriod>& periods, TPeriod period) {
    if (period.End <= period.Start) {
        return;
    }
    if (!periods.empty() && periods.back().Kind == period.Kind &&
        periods.back().Crew == period.Crew && periods.back().End == period.Start) {
        periods.back().End = period.End;
        return;
    }
    periods.push_back(period);
}

} // namespace

TTimeline BuildTimeline(const std::vector<carddata::TDay>& days) {
    std::vector<const carddata::TDay*> ordered;
    ordered.reserve(days.size());
    for (const carddata::TDay& day : days) {
        ordered.push_back(&day);
    }
    std::stable_sort(
        ordered.begin(), ordered.end(),
        [](const carddata::TDay* a, const carddata::TDay* b) { return a->Date < b->Date; });
    TTimeline timeline;
    bool first = true;
    for (const carddata::TDay* day : ordered) {
        const TMinute dayStart = FloorDiv(day->Date, 60);
        if (!first && dayStart < timeline.End) {
            continue; // a second record of a day already laid down
        }
        if (first) {
            timeline.Begin = timeline.End = dayStart;
            first = false;
        }
        Append(timeline.Periods, {timeline.End, dayStart, TKind::Unknown, false});
        const TMinute dayEnd = dayStart + kDay;
        // Before the first change, and after a change out of order, nothing
        // is known: such time stays unknown rather than borrowing a neighbour.
        TMinute at = dayStart;
        TKind kind = TKind::Unknown;
        bool crew = false;
        for (const carddata::TActivityChange& change : day->Changes) {
            const TMinute start = dayStart + change.Minute;
            if (change.Minute >= kDay || start < at) {
                continue;
            }
            Append(timeline.Periods, {at, start, kind, crew});
            at = start;
            kind = KindOf(change);
            crew = change.Crew && change.CardInserted;
        }
        Append(timeline.Periods, {at, dayEnd, kind, crew});
        timeline.End = dayEnd;
    }
    return timeline;
}

TContext BuildContext(const std::vector<carddata::TDay>& days, const TOptions& options) {
    const TTimeline timeline = BuildTimeline(days);
    TContext c;
    c.Begin = timeline.Begin;
    c.End = timeline.End;
    c.Periods.reserve(timeline.Periods.size());
    for (TPeriod period : timeline.Periods) {
        if (period.Kind == TKind::Unknown) {
            c.UnknownMinutes += static_cast<int>(period.End - period.Start);
            period.Kind = options.UnknownAs == TUnknownAs::Rest ? TKind::Rest : TKind::Work;
            period.Crew = false;
        }
        // A rest is a rest whoever else was in the cab.
        if (period.Kind == TKind::Rest) {
            period.Crew = false;
        }
        Append(c.Periods, period);
    }
    for (const TPeriod& period : c.Periods) {
        if (period.Kind == TKind::Rest) {
            c.Rests.push_back(
                {period.Start, period.End, period.Start == c.Begin, period.End == c.End});
        }
    }

    // Working periods: separated by rests of at least 9 h, the shortest
    // daily rest there is (a reduced one); the 3 h first part of a split rest
    // and anything shorter leave the period running.
    constexpr TMinute kDailyRest = 9 * 60;
    std::size_t next = 0; // the first period not yet summed
    // Multi-manning: two drivers for all the driving of the period, except
    // that the second may join during its first hour.
    auto add = [&c, &next](TWorkingPeriod period) {
        bool allCrew = true, anyCrew = false;
        while (next < c.Periods.size() && c.Periods[next].Start < period.End) {
            const TPeriod& p = c.Periods[next];
            if (p.Start >= period.Start && p.Kind == TKind::Driving) {
                if (period.Driving == 0) {
                    period.DrivingStart = p.Start;
                }
                period.Driving += static_cast<int>(p.End - p.Start);
                period.DrivingEnd = p.End;
                allCrew = allCrew && (p.Crew || p.End <= period.Start + 60);
                anyCrew = anyCrew || p.Crew;
            }
            ++next;
        }
        period.Crew = anyCrew && allCrew;
        c.WorkingPeriods.push_back(period);
    };
    TMinute at = c.Begin;
    bool cut = true; // until a daily rest is seen, the period began before the data
    for (std::size_t i = 0; i < c.Rests.size(); ++i) {
        const TRest& rest = c.Rests[i];
        if (rest.Length() < kDailyRest) {
            continue;
        }
        if (rest.Start > at) {
            add({at, rest.Start, cut, false, false, 0, static_cast<int>(i)});
        }
        at = rest.End;
        cut = false;
    }
    if (at < c.End) {
        add({at, c.End, cut, true, false, 0, -1});
    }
    return c;
}

} // namespace rules

#include "rules/Rules.h"

#include "rules/Format.h"
#include "rules/Severity.h"

#include <algorithm>
#include <map>

namespace rules {

namespace {

constexpr TMinute H = 60;
constexpr TMinute kWeek = 7 * 24 * H;
// 1970-01-05, the first Monday of the epoch.
constexpr TMinute kFirstMonday = 4 * 24 * H;

TMinute WeekOf(TMinute minute) {
    const TMinute offset = minute - kFirstMonday;
    return offset / kWeek - (offset % kWeek < 0 ? 1 : 0);
}
TMinute WeekStart(TMinute week) {
    return kFirstMonday + week * kWeek;
}

carddata::TTime Seconds(TMinute minute) {
    return minute * 60;
}

void Add(std::vector<TFinding>& to, const char* rule, TMinute start, TMinute end, TMinute value,
         TMinute limit, TSeverity severity, std::string detail) {
    to.push_back({rule, Seconds(start), Seconds(end), static_cast<int>(value),
                  static_cast<int>(limit), severity, std::move(detail)});
}

const char* Cut(bool atStart) {
    return atStart ? "not judged: data starts" : "not judged: data ends";
}

// Driving of each week that the data touches, by week number.
std::map<TMinute, TMinute> WeeklyDriving(const TContext& c) {
    std::map<TMinute, TMinute> weeks;
    if (c.End <= c.Begin) {
        return weeks;
    }
    for (TMinute w = WeekOf(c.Begin); w <= WeekOf(c.End - 1); ++w) {
        weeks[w] = 0;
    }
    for (const TPeriod& p : c.Periods) {
        if (p.Kind != TKind::Driving) {
            continue;
        }
        for (TMinute at = p.Start; at < p.End;) {
            const TMinute w = WeekOf(at);
            const TMinute end = std::min(p.End, WeekStart(w + 1));
            weeks[w] += end - at;
            at = end;
        }
    }
    return weeks;
}

bool WholeWeek(const TContext& c, TMinute week) {
    return WeekStart(week) >= c.Begin && WeekStart(week + 1) <= c.End;
}

// A maximum over a span the data may cut: what the data shows beyond the limit
// is an infringement whatever came before or after; at or under it, a cut
// span cannot be judged.
void JudgeMaximum(const TContext& c, TJudgement& j, const char* rule, TMinute start, TMinute end,
                  TMinute value, TMinute limit, TBands bands, const std::string& what) {
    const bool cutStart = start < c.Begin;
    const bool cutEnd = end > c.End;
    const TMinute shownStart = std::max(start, c.Begin), shownEnd = std::min(end, c.End);
    if (value > limit) {
        Add(j.Infringements, rule, shownStart, shownEnd, value, limit,
            Severity(bands, static_cast<int>(value)),
            DurationText(value) + " of driving " + what + "; at most " + DurationText(limit) +
                (cutStart || cutEnd ? " (more may lie outside the data)" : ""));
    } else if ((cutStart || cutEnd) && value > 0) {
        Add(j.NotJudged, rule, shownStart, shownEnd, value, limit, TSeverity::None,
            std::string(Cut(cutStart)) + ": " + DurationText(value) + " of driving " + what +
                " in the data");
    }
}

} // namespace

void JudgeDailyDriving(const TContext& c, TJudgement& j) {
    // The 10 h days of each week, counted in the week the period starts in.
    std::map<TMinute, int> extended;
    for (const TWorkingPeriod& p : c.WorkingPeriods) {
        const TMinute d = p.Driving;
        if (d == 0) {
            continue;
        }
        const bool cut = p.CutStart || p.CutEnd;
        const char* where = p.CutStart ? "data starts" : "data ends";
        int& used = extended[WeekOf(p.Start)];
        const bool extensionLeft = used < 2;
        if (d > 9 * H) {
            ++used; // a day over 10 h has taken an extension too
        }
        const std::string crew = p.Crew ? " (multi-manning)" : "";
        if (d > 10 * H || (d > 9 * H && !extensionLeft)) {
            const TMinute limit = extensionLeft ? 10 * H : 9 * H;
            Add(j.Infringements, "daily-driving", p.DrivingStart, p.DrivingEnd, d, limit,
                Severity(extensionLeft ? TBands::DailyDriving10 : TBands::DailyDriving9,
                         static_cast<int>(d)),
                DurationText(d) + " of driving between two daily rests" + crew + "; " +
                    (extensionLeft ? "at most 10 h"
                                   : "a third 10-hour day in the week: at most 9 h") +
                    (cut ? std::string(" (the ") + where + " inside the period)" : ""));
        } else if (cut) {
            Add(j.NotJudged, "daily-driving", p.DrivingStart, p.DrivingEnd, d,
                extensionLeft ? 10 * H : 9 * H, TSeverity::None,
                std::string(Cut(p.CutStart)) + ": " + DurationText(d) +
                    " of driving in the data between daily rests" + crew);
        }
    }
}

void JudgeWeeklyDriving(const TContext& c, TJudgement& j) {
    for (const auto& [week, driving] : WeeklyDriving(c)) {
        JudgeMaximum(c, j, "weekly-driving", WeekStart(week), WeekStart(week + 1), driving, 56 * H,
                     TBands::WeeklyDriving,
                     "in the week from " + TimeText(Seconds(WeekStart(week))));
    }
}

void JudgeFortnightlyDriving(const TContext& c, TJudgement& j) {
    const std::map<TMinute, TMinute> weeks = WeeklyDriving(c);
    for (auto it = weeks.begin(); it != weeks.end(); ++it) {
        const auto second = std::next(it);
        if (second == weeks.end()) {
            break;
        }
        JudgeMaximum(c, j, "fortnightly-driving", WeekStart(it->first),
                     WeekStart(second->first + 1), it->second + second->second, 90 * H,
                     TBands::FortnightlyDriving,
                     "in the two weeks from " + TimeText(Seconds(WeekStart(it->first))));
    }
}

void JudgeBreaks(const TContext& c, TJudgement& j) {
    constexpr TMinute kLimit = 4 * H + 30;
    TMinute driving = 0, start = 0, end = 0;
    bool firstPart = false; // a break of 15 min taken, waiting for one of 30
    // Until a break of 45 min is seen, the driving before the data is unknown.
    bool known = false;
    auto close = [&] {
        if (driving > kLimit) {
            Add(j.Infringements, "break", start, end, driving, kLimit,
                Severity(TBands::Break, static_cast<int>(driving)),
                DurationText(driving) +
                    " of driving without a break of 45 min (or 15 min then 30 min)" +
                    (known ? "" : " (more may lie before the data)"));
        } else if (!known && driving > 0) {
            Add(j.NotJudged, "break", start, end, driving, kLimit, TSeverity::None,
                std::string(Cut(true)) + ": " + DurationText(driving) +
                    " of driving before the first break in the data");
        }
        driving = 0;
        firstPart = false;
    };
    for (const TPeriod& p : c.Periods) {
        const TMinute length = p.End - p.Start;
        if (p.Kind == TKind::Driving) {
            if (driving == 0) {
                start = p.Start;
            }
            driving += length;
            end = p.End;
        } else if (p.Kind == TKind::Rest) {
            if (length >= 45 || (firstPart && length >= 30)) {
                close();
                known = true;
            } else if (length >= 15) {
                firstPart = true;
            }
        }
    }
    if (driving > kLimit) {
        close();
    }
}

void JudgeDailyRest(const TContext& c, TJudgement& j) {
    int reduced = 0; // since the last weekly rest
    TMinute previousRest = -1;
    for (const TWorkingPeriod& p : c.WorkingPeriods) {
        // The rest before this period: a weekly rest starts the count anew.
        if (previousRest >= 0 &&
            c.Rests[static_cast<std::size_t>(previousRest)].Length() >= 24 * H) {
            reduced = 0;
        }
        previousRest = p.Rest;
        if (p.CutStart) {
            Add(j.NotJudged, "daily-rest", p.Start, p.End, 0, 11 * H, TSeverity::None,
                std::string(Cut(true)) + ": the working period before " + TimeText(Seconds(p.End)) +
                    " began before the data");
            continue;
        }
        const TMinute window = p.Start + (p.Crew ? 30 * H : 24 * H);
        // Rests inside the window, up to the one that ends the period.
        TMinute best = 0, main = 0;
        bool firstPart = false; // 3 h or more before the rest that ends the period
        bool bestSplit = false; // the longest rest came after such a first part
        const std::size_t last = p.Rest >= 0 ? static_cast<std::size_t>(p.Rest) : c.Rests.size();
        auto first = std::lower_bound(c.Rests.begin(), c.Rests.end(), p.Start,
                                      [](const TRest& r, TMinute at) { return r.Start < at; });
        for (auto it = first; it != c.Rests.end() && it->Start < window; ++it) {
            const auto index = static_cast<std::size_t>(it - c.Rests.begin());
            if (index > last) {
                break;
            }
            const TMinute portion = std::min(it->End, window) - it->Start;
            if (portion > best) {
                best = portion;
                bestSplit = firstPart;
            }
            if (index == last) {
                main = portion;
            } else if (it->Length() >= 3 * H) {
                firstPart = true;
            }
        }
        const bool beyondData = window > c.End;
        const std::string from = " within the " + std::string(p.Crew ? "30" : "24") + " h from " +
                                 TimeText(Seconds(p.Start));
        if (p.Crew) {
            if (main >= 9 * H) {
                continue;
            }
            if (beyondData) {
                Add(j.NotJudged, "daily-rest", p.Start, c.End, best, 9 * H, TSeverity::None,
                    std::string(Cut(false)) +
                        ": the 30 h of a multi-manning period run past the data");
                continue;
            }
            Add(j.Infringements, "daily-rest", p.Start, window, best, 9 * H,
                Severity(TBands::DailyRestCrew, static_cast<int>(best)),
                "multi-manning: " + DurationText(best) + " of rest" + from + "; at least 9 h");
            continue;
        }
        if (main >= 11 * H || (main >= 9 * H && firstPart)) {
            continue; // a regular daily rest, whole or split 3 h + 9 h
        }
        // A rest the data cuts could still reach the regular length.
        const bool open = beyondData && (p.Rest < 0 || c.Rests[last].CutEnd);
        if (main >= 9 * H) {
            if (open) {
                Add(j.NotJudged, "daily-rest", p.Start, c.End, main, 11 * H, TSeverity::None,
                    std::string(Cut(false)) + ": a rest of " + DurationText(main) +
                        " so far, regular or reduced");
                continue;
            }
            if (++reduced > 3) {
                Add(j.Infringements, "daily-rest", p.Start, window, main, 11 * H,
                    Severity(TBands::DailyRestRegular, static_cast<int>(main)),
                    "a fourth reduced daily rest (" + DurationText(main) +
                        ") since the last weekly rest; at most three, otherwise 11 h");
            }
            continue;
        }
        if (beyondData) {
            Add(j.NotJudged, "daily-rest", p.Start, c.End, best, 11 * H, TSeverity::None,
                std::string(Cut(false)) + ": the 24 h from " + TimeText(Seconds(p.Start)) +
                    " run past the data");
            continue;
        }
        if (bestSplit) {
            Add(j.Infringements, "daily-rest", p.Start, window, best, 9 * H,
                Severity(TBands::DailyRestSplit, static_cast<int>(best)),
                "split daily rest: after a first part of 3 h or more, " + DurationText(best) +
                    " of rest" + from + "; the second part needs 9 h");
        } else if (reduced < 3) {
            Add(j.Infringements, "daily-rest", p.Start, window, best, 9 * H,
                Severity(TBands::DailyRestReduced, static_cast<int>(best)),
                DurationText(best) + " of rest" + from + "; at least 9 h (a reduced daily rest)");
        } else {
            Add(j.Infringements, "daily-rest", p.Start, window, best, 11 * H,
                Severity(TBands::DailyRestRegular, static_cast<int>(best)),
                DurationText(best) + " of rest" + from +
                    "; at least 11 h, the three reductions being used");
        }
    }
}

void JudgeWeeklyRest(const TContext& c, TJudgement& j) {
    constexpr TMinute kDue = 6 * 24 * H;
    std::vector<const TRest*> weekly;
    for (const TRest& r : c.Rests) {
        if (r.Length() >= 24 * H) {
            weekly.push_back(&r);
        }
    }
    // The longest rest of the six 24-hour periods, to explain a late one.
    auto longest = [&c](TMinute from, TMinute to) {
        TMinute most = 0;
        for (const TRest& r : c.Rests) {
            if (r.Start >= from && r.Start < to) {
                most = std::max(most, r.Length());
            }
        }
        return most;
    };
    auto late = [&](TMinute from, TMinute to, bool proven, const std::string& tail) {
        const TMinute delay = to - from;
        Add(j.Infringements, "weekly-rest", from, to, delay, kDue,
            Severity(TBands::WeeklyRestLate, static_cast<int>(delay)),
            "a weekly rest " + std::string(proven ? "" : "at least ") + DurationText(delay) +
                " after the end of the previous one; due within 144 h (longest rest between: " +
                DurationText(longest(from, std::min(to, from + kDue))) + ")" + tail);
    };
    // Where the last weekly rest could still begin: the data's end, or a rest
    // the data cuts that may grow into one.
    const TMinute openFrom =
        !c.Rests.empty() && c.Rests.back().CutEnd ? c.Rests.back().Start : c.End;
    const bool activity = std::any_of(c.Periods.begin(), c.Periods.end(),
                                      [](const TPeriod& p) { return p.Kind != TKind::Rest; });
    if (!activity) {
        return;
    }
    if (weekly.empty()) {
        if (openFrom - c.Begin > kDue) {
            late(c.Begin, openFrom, false, "; no weekly rest in the data");
        } else {
            Add(j.NotJudged, "weekly-rest", c.Begin, c.End, 0, kDue, TSeverity::None,
                "not judged: data starts: no weekly rest in the data");
        }
        return;
    }
    if (!weekly.front()->CutStart) {
        if (weekly.front()->Start - c.Begin > kDue) {
            late(c.Begin, weekly.front()->Start, false, " (the previous one lies before the data)");
        } else {
            Add(j.NotJudged, "weekly-rest", c.Begin, weekly.front()->Start, 0, kDue,
                TSeverity::None,
                "not judged: data starts: the previous weekly rest is not in the data");
        }
    }
    for (std::size_t i = 1; i < weekly.size(); ++i) {
        if (weekly[i]->Start - weekly[i - 1]->End > kDue) {
            late(weekly[i - 1]->End, weekly[i]->Start, true, "");
        }
    }
    const TRest& last = *weekly.back();
    if (!last.CutEnd) {
        if (openFrom - last.End > kDue) {
            late(last.End, openFrom, false, "; none by the end of the data");
        } else if (std::any_of(c.Periods.begin(), c.Periods.end(), [&last](const TPeriod& p) {
                       return p.Start >= last.End && p.Kind != TKind::Rest;
                   })) {
            Add(j.NotJudged, "weekly-rest", last.End, c.End, 0, kDue, TSeverity::None,
                "not judged: data ends: the next weekly rest is due after the data");
        }
    }

    // In any two consecutive weeks, a regular weekly rest (45 h) at least:
    // each weekly rest counts in one week only, the first one it touches that
    // has none yet. A week with no work at all is a week of rest.
    if (c.End <= c.Begin) {
        return;
    }
    const TMinute firstWeek = WeekOf(c.Begin), lastWeek = WeekOf(c.End - 1);
    struct TWeek {
        TMinute Longest = 0;
        bool Regular = false, Assigned = false, Uncertain = false, Idle = true;
    };
    std::vector<TWeek> weeks(static_cast<std::size_t>(lastWeek - firstWeek + 1));
    for (const TPeriod& p : c.Periods) {
        if (p.Kind != TKind::Rest) {
            for (TMinute w = WeekOf(p.Start); w <= WeekOf(p.End - 1); ++w) {
                weeks[static_cast<std::size_t>(w - firstWeek)].Idle = false;
            }
        }
    }
    for (const TRest* r : weekly) {
        const TMinute from = WeekOf(r->Start), to = WeekOf(r->End - 1);
        TMinute chosen = to;
        for (TMinute w = from; w <= to; ++w) {
            if (!weeks[static_cast<std::size_t>(w - firstWeek)].Assigned) {
                chosen = w;
                break;
            }
        }
        TWeek& week = weeks[static_cast<std::size_t>(chosen - firstWeek)];
        week.Assigned = true;
        week.Longest = std::max(week.Longest, r->Length());
        week.Regular = week.Regular || r->Length() >= 45 * H;
        week.Uncertain = week.Uncertain || r->CutStart || r->CutEnd;
    }
    for (TMinute w = firstWeek; w < lastWeek; ++w) {
        const TWeek& a = weeks[static_cast<std::size_t>(w - firstWeek)];
        const TWeek& b = weeks[static_cast<std::size_t>(w + 1 - firstWeek)];
        if (a.Regular || b.Regular || a.Idle || b.Idle || (!a.Assigned && !b.Assigned)) {
            continue; // a pair with no weekly rest at all is a late one, told above
        }
        const TMinute value = std::max(a.Longest, b.Longest);
        const TMinute start = WeekStart(w), end = WeekStart(w + 2);
        const std::string detail = "no regular weekly rest (45 h) in the two weeks from " +
                                   TimeText(Seconds(start)) + "; the longest was " +
                                   DurationText(value);
        if (!WholeWeek(c, w) || !WholeWeek(c, w + 1) || a.Uncertain || b.Uncertain) {
            const bool atStart = start < c.Begin || (a.Uncertain && !b.Uncertain);
            Add(j.NotJudged, "weekly-rest", std::max(start, c.Begin), std::min(end, c.End), value,
                45 * H, TSeverity::None, std::string(Cut(atStart)) + ": " + detail);
            continue;
        }
        Add(j.Infringements, "weekly-rest", start, end, value, 45 * H,
            Severity(TBands::WeeklyRestRegular, static_cast<int>(value)), detail);
    }
}

TJudgement Judge(const std::vector<carddata::TDay>& days, const TOptions& options) {
    const TContext context = BuildContext(days, options);
    TJudgement j;
    j.UnknownMinutes = context.UnknownMinutes;
    JudgeDailyDriving(context, j);
    JudgeWeeklyDriving(context, j);
    JudgeFortnightlyDriving(context, j);
    JudgeBreaks(context, j);
    JudgeDailyRest(context, j);
    JudgeWeeklyRest(context, j);
    auto byStart = [](const TFinding& a, const TFinding& b) { return a.Start < b.Start; };
    std::stable_sort(j.Infringements.begin(), j.Infringements.end(), byStart);
    std::stable_sort(j.NotJudged.begin(), j.NotJudged.end(), byStart);
    return j;
}

} // namespace rules

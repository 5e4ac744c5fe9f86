// The driving and rest rules of Regulation (EC) No 561/2006 over a driver
// card's days: a continuous timeline of activities, then one function per
// rule, each adding what it finds to a judgement. Plain C++, no Qt.
// All times are UTC; a week runs from Monday 00:00 to Sunday 24:00.
#pragma once

#include "carddata/CardData.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rules {

// Minutes since 1970-01-01 00:00 UTC.
using TMinute = std::int64_t;

enum class TKind : std::uint8_t { Rest, Availability, Work, Driving, Unknown };

struct TPeriod {
    TMinute Start = 0, End = 0;
    TKind Kind = TKind::Rest;
    bool Crew = false; // recorded in multi-manning
};

enum class TUnknownAs : std::uint8_t { Rest, Work };

struct TOptions {
    // Time with the card out and nothing entered by hand.
    TUnknownAs UnknownAs = TUnknownAs::Rest;
};

// The days as back-to-back periods from the first day's 00:00 to the last
// day's 24:00; days missing between two records are unknown time. Neighbours
// of the same kind and crew flag are merged.
struct TTimeline {
    TMinute Begin = 0, End = 0;
    std::vector<TPeriod> Periods;
};
TTimeline BuildTimeline(const std::vector<carddata::TDay>& days);

// Severity classes of Regulation (EU) 2016/403 (MSI, VSI, SI) and of Annex III
// to Directive 2006/22/EC as it amended it (MI).
enum class TSeverity : std::uint8_t { None, Minor, Serious, VerySerious, MostSerious };
const char* SeverityCode(TSeverity severity); // "MI", "SI", "VSI", "MSI"; nullptr for None

// One infringement, or one period the data cannot judge.
struct TFinding {
    std::string Rule; // "daily-driving", "weekly-driving", "fortnightly-driving", "break",
                      // "daily-rest", "weekly-rest"
    carddata::TTime Start = 0, End = 0; // seconds UTC
    int Value = 0, Limit = 0;           // minutes
    TSeverity Severity = TSeverity::None;
    std::string Detail; // one line in English
};

struct TJudgement {
    std::vector<TFinding> Infringements, NotJudged;
    int UnknownMinutes = 0; // unknown time between the first and the last day
};

// What the rules share: the timeline with unknown time resolved, its rests
// (maximal runs of rest), and the working periods between daily rests.
struct TRest {
    TMinute Start = 0, End = 0;
    bool CutStart = false, CutEnd = false; // begins or ends at the edge of the data
    TMinute Length() const { return End - Start; }
};

// A working period runs from the end of one daily (or weekly) rest to the
// start of the next; the rest that ends it and how it was judged.
struct TWorkingPeriod {
    TMinute Start = 0, End = 0;
    bool CutStart = false; // the rest before it is not in the data
    bool CutEnd = false;   // no daily rest ends it before the data ends
    bool Crew = false;     // multi-manning: all its driving after the first hour in crew
    int Driving = 0;
    int Rest = -1; // index into TContext::Rests of the rest that ends it; -1 if none
    TMinute DrivingStart = 0, DrivingEnd = 0; // first and last minute of driving
};

struct TContext {
    TMinute Begin = 0, End = 0;
    std::vector<TPeriod> Periods; // unknown resolved to rest or work
    std::vector<TRest> Rests;
    std::vector<TWorkingPeriod> WorkingPeriods;
    int UnknownMinutes = 0;
};
TContext BuildContext(const std::vector<carddata::TDay>& days, const TOptions& options = {});

// One function per rule.
void JudgeDailyDriving(const TContext& context, TJudgement& judgement);
void JudgeWeeklyDriving(const TContext& context, TJudgement& judgement);
void JudgeFortnightlyDriving(const TContext& context, TJudgement& judgement);
void JudgeBreaks(const TContext& context, TJudgement& judgement);
void JudgeDailyRest(const TContext& context, TJudgement& judgement);
void JudgeWeeklyRest(const TContext& context, TJudgement& judgement);

// All six, the findings ordered by start time.
TJudgement Judge(const std::vector<carddata::TDay>& days, const TOptions& options = {});

} // namespace rules

// The driving and rest rules at their limits: a minute under, at, a minute
// over. Days come from activity scripts; data starts on the Saturday before
// the first Monday (a weekly rest the data cuts) unless a case says otherwise.
#include "rules/Rules.h"
#include "cardsim/ActivityScript.h"
#include "cardsim/InfringementWeek.h"
#include "cardsim/SampleCard.h"
#include "rules/RulesJson.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using rules::TSeverity;
using TScript = std::vector<std::string>;

std::string Clock(int minute) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", minute / 60 % 100, minute % 60);
    return text;
}

const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

// "DAY HH:MM" for a minute counted from the first Monday 00:00.
std::string At(int minute) {
    const int day = minute / 1440;
    return std::to_string(day / 7 + 1) + kDays[day % 7] + " " + Clock(minute % 1440);
}

// A run of activities from `start` (minutes from the first Monday): tokens
// such as "d270" (drive 270 min), "r45", "w600", "a30", "u45", "c60" (drive in
// multi-manning), one after the other.
void Play(TScript& script, int start, const std::string& tokens) {
    std::istringstream in(tokens);
    std::string token;
    int at = start;
    while (in >> token) {
        const int length = std::stoi(token.substr(1));
        const char kind = token[0];
        const char* name = kind == 'd' || kind == 'c' ? "drive"
                           : kind == 'w'              ? "work"
                           : kind == 'a'              ? "avail"
                           : kind == 'u'              ? "unknown"
                                                      : "rest";
        const std::string duration = std::to_string(length / 60) + ":" + Clock(length).substr(3);
        script.push_back(At(at) + " " + name + " " + duration + (kind == 'c' ? " crew" : ""));
        at += length;
    }
}

// A day's driving from 06:00 in spells of at most 4 h 30 min, 45 min apart.
void Shift(TScript& script, int day, int driving) {
    std::string tokens;
    while (driving > 0) {
        const int spell = std::min(driving, 270);
        tokens += (tokens.empty() ? "d" : " r45 d") + std::to_string(spell);
        driving -= spell;
    }
    Play(script, day * 1440 + 360, tokens);
}

constexpr int kMon = 360; // Monday 06:00 of the first week

rules::TJudgement Judged(const TScript& script, const cardsim::TScriptRange& range = {},
                         const rules::TOptions& options = {}) {
    return rules::Judge(cardsim::DaysFromScript(script, range), options);
}

std::vector<rules::TFinding> Of(const std::vector<rules::TFinding>& findings,
                                const std::string& rule) {
    std::vector<rules::TFinding> of;
    for (const rules::TFinding& f : findings) {
        if (f.Rule == rule) {
            of.push_back(f);
        }
    }
    return of;
}

std::string Summary(const std::vector<rules::TFinding>& findings) {
    std::string text;
    for (const rules::TFinding& f : findings) {
        const char* code = rules::SeverityCode(f.Severity);
        text += f.Rule + " " + std::to_string(f.Value) + "/" + std::to_string(f.Limit) + " " +
                (code ? code : "-") + "; ";
    }
    return text;
}

// What a case expects of one rule: no infringement (Count 0), or the last one.
struct TExpected {
    std::size_t Count = 0;
    int Value = 0, Limit = 0;
    TSeverity Severity = TSeverity::None;
};

void Expect(const rules::TJudgement& judgement, const std::string& rule, const TExpected& e,
            const std::string& label) {
    const auto found = Of(judgement.Infringements, rule);
    ASSERT_EQ(found.size(), e.Count) << label << ": " << Summary(judgement.Infringements);
    if (e.Count > 0) {
        EXPECT_EQ(found.back().Value, e.Value) << label;
        EXPECT_EQ(found.back().Limit, e.Limit) << label;
        EXPECT_EQ(found.back().Severity, e.Severity) << label;
    }
}

// ------------------------------------------------------------------ driving

struct TDrivingCase {
    int FirstDay; // 0 is Monday
    std::vector<int> Driving;
    TExpected Expected;
};

class DailyDriving : public testing::TestWithParam<TDrivingCase> {};

TEST_P(DailyDriving, LimitsAndTheTwoTenHourDays) {
    TScript script;
    for (std::size_t i = 0; i < GetParam().Driving.size(); ++i) {
        Shift(script, GetParam().FirstDay + static_cast<int>(i), GetParam().Driving[i]);
    }
    Expect(Judged(script), "daily-driving", GetParam().Expected,
           testing::PrintToString(GetParam().Driving));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DailyDriving,
    testing::Values(TDrivingCase{0, {540}, {}}, TDrivingCase{0, {541}, {}},
                    TDrivingCase{0, {600}, {}},
                    TDrivingCase{0, {601}, {1, 601, 600, TSeverity::Minor}},
                    TDrivingCase{0, {660}, {1, 660, 600, TSeverity::Serious}},
                    TDrivingCase{0, {720}, {1, 720, 600, TSeverity::VerySerious}},
                    TDrivingCase{0, {900}, {1, 900, 600, TSeverity::MostSerious}},
                    // The third day over 9 h in a week, whatever its length.
                    TDrivingCase{0, {541, 541, 540}, {}},
                    TDrivingCase{0, {541, 541, 541}, {1, 541, 540, TSeverity::Minor}},
                    TDrivingCase{0, {600, 600, 600}, {1, 600, 540, TSeverity::Serious}},
                    // A day over 10 h uses an extension too.
                    TDrivingCase{0, {601, 541, 541}, {2, 541, 540, TSeverity::Minor}},
                    // Monday starts a new count.
                    TDrivingCase{4, {541, 541, 541}, {1, 541, 540, TSeverity::Minor}},
                    TDrivingCase{5, {541, 541, 541}, {}}));

struct TWeekCase {
    int Saturday;   // driving on Saturday after 4 × 9 h and a 10 h Friday
    int ExtraAt;    // day (from the first Monday) of a last spell, -1 for none
    int Extra;      // its minutes
    int SecondWeek; // driving in the second week, Monday to Thursday (each a quarter)
    TExpected Weekly, Fortnightly;
};

class WeeklyDriving : public testing::TestWithParam<TWeekCase> {};

TEST_P(WeeklyDriving, WeekAndTwoWeeks) {
    const TWeekCase& c = GetParam();
    TScript script;
    for (int day = 0; day < 4; ++day) {
        Shift(script, day, 540);
    }
    Shift(script, 4, 600);
    Shift(script, 5, c.Saturday);
    if (c.ExtraAt >= 0) {
        Play(script, c.ExtraAt * 1440 + 20 * 60, "d" + std::to_string(c.Extra));
    }
    for (int day = 7; day < 11 && c.SecondWeek > 0; ++day) {
        Shift(script, day, c.SecondWeek / 4);
    }
    cardsim::TScriptRange range;
    range.LastDay = 14; // the second week whole, and the Monday after
    const rules::TJudgement j = Judged(script, range);
    const std::string label = std::to_string(c.Saturday) + "+" + std::to_string(c.Extra) + "@" +
                              std::to_string(c.ExtraAt) + " then " + std::to_string(c.SecondWeek);
    Expect(j, "weekly-driving", c.Weekly, label);
    Expect(j, "fortnightly-driving", c.Fortnightly, label);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WeeklyDriving,
    testing::Values(TWeekCase{599, -1, 0, 0, {}, {}}, TWeekCase{600, -1, 0, 0, {}, {}},
                    TWeekCase{600, 6, 1, 0, {1, 3361, 3360, TSeverity::Minor}, {}},
                    TWeekCase{600, 6, 240, 0, {1, 3600, 3360, TSeverity::Serious}, {}},
                    // The same minute on the next Monday belongs to the next week.
                    TWeekCase{600, 7, 1, 0, {}, {}},
                    // 56 h and 34 h: 90 h in two weeks.
                    TWeekCase{599, 9, 1, 2040, {}, {}}, TWeekCase{600, -1, 0, 2040, {}, {}},
                    TWeekCase{600, 9, 1, 2040, {}, {1, 5401, 5400, TSeverity::Minor}}));

// ------------------------------------------------------------------ breaks

struct TRunCase {
    const char* Tokens; // from Monday 06:00
    TExpected Expected;
};

class Breaks : public testing::TestWithParam<TRunCase> {};

TEST_P(Breaks, FortyFiveOrFifteenThenThirty) {
    TScript script;
    Play(script, kMon, GetParam().Tokens);
    Expect(Judged(script), "break", GetParam().Expected, GetParam().Tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Breaks,
    testing::Values(TRunCase{"d270", {}}, TRunCase{"d271", {1, 271, 270, TSeverity::Minor}},
                    TRunCase{"d300", {1, 300, 270, TSeverity::Serious}},
                    TRunCase{"d270 r45 d270", {}},
                    TRunCase{"d270 r44 d270", {1, 540, 270, TSeverity::VerySerious}},
                    // Split: 15 min, then 30 min; never the other way round.
                    TRunCase{"d120 r15 d150 r30 d270", {}},
                    TRunCase{"d120 r14 d150 r30 d120", {1, 390, 270, TSeverity::VerySerious}},
                    TRunCase{"d120 r30 d150 r15 d120", {1, 390, 270, TSeverity::VerySerious}},
                    TRunCase{"d120 r15 d151 r30 d10", {1, 271, 270, TSeverity::Minor}},
                    TRunCase{"d150 r15 d60 r15 d60 r30 d270", {}},
                    // Work and availability are no break.
                    TRunCase{"d270 w45 d1", {1, 271, 270, TSeverity::Minor}},
                    TRunCase{"d270 a45 d1", {1, 271, 270, TSeverity::Minor}}));

TEST(Rules, UnknownTimeIsRestUnlessToldOtherwise) {
    TScript script;
    Play(script, kMon, "d150 u45 d150");
    const rules::TJudgement asRest = Judged(script);
    EXPECT_TRUE(Of(asRest.Infringements, "break").empty()) << Summary(asRest.Infringements);
    EXPECT_EQ(asRest.UnknownMinutes, 45);
    rules::TOptions work;
    work.UnknownAs = rules::TUnknownAs::Work;
    const rules::TJudgement asWork = Judged(script, {}, work);
    Expect(asWork, "break", {1, 300, 270, TSeverity::Serious}, "unknown as work");
    EXPECT_EQ(asWork.UnknownMinutes, 45);
}

// ------------------------------------------------------------------ daily rest

class DailyRest : public testing::TestWithParam<TRunCase> {};

TEST_P(DailyRest, WithinTwentyFourHours) {
    TScript script;
    Play(script, kMon, GetParam().Tokens);
    Expect(Judged(script), "daily-rest", GetParam().Expected, GetParam().Tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DailyRest,
    testing::Values(
        TRunCase{"w780 r660 w60", {}},
        // 9 h is a reduced rest, allowed; a minute less is none.
        TRunCase{"w900 r540 w60", {}}, TRunCase{"w901 r539 w60", {1, 539, 540, TSeverity::Minor}},
        TRunCase{"w960 r480 w60", {1, 480, 540, TSeverity::Minor}},
        TRunCase{"w961 r479 w60", {1, 479, 540, TSeverity::Serious}},
        TRunCase{"w1021 r419 w60", {1, 419, 540, TSeverity::VerySerious}},
        // Only what falls within the 24 h counts: 11 h from 23:00 give 7 h.
        TRunCase{"w1020 r660 w60", {1, 420, 540, TSeverity::Serious}},
        // Three reduced rests between weekly rests, not four.
        TRunCase{"w900 r540 w900 r540 w900 r540 w60", {}},
        TRunCase{"w900 r540 w900 r540 w900 r540 w900 r540 w60", {1, 540, 660, TSeverity::Serious}},
        TRunCase{"w900 r540 w900 r540 w900 r540 w901 r539 w60", {1, 539, 660, TSeverity::Serious}},
        // Split 3 h + 9 h is regular: four of them use no reduction.
        TRunCase{"w240 r180 w480 r540 w240 r180 w480 r540 w240 r180 w480 r540 w240 r180 w480 r540 "
                 "w60",
                 {}},
        TRunCase{"w240 r179 w481 r540 w240 r179 w481 r540 w240 r179 w481 r540 w240 r179 w481 r540 "
                 "w60",
                 {1, 540, 660, TSeverity::Serious}},
        TRunCase{"w240 r180 w540 r600 w60", {1, 480, 540, TSeverity::Minor}},
        TRunCase{"w240 r180 w541 r600 w60", {1, 479, 540, TSeverity::Serious}},
        // Multi-manning: 9 h within 30 h.
        TRunCase{"c60 w1200 r540 w60", {}},
        TRunCase{"c60 w1201 r540 w60", {1, 539, 540, TSeverity::Minor}},
        TRunCase{"c60 w1261 r540 w60", {1, 479, 540, TSeverity::Serious}},
        // The same day driven alone.
        TRunCase{"d60 w1200 r540 w60", {1, 180, 540, TSeverity::VerySerious}},
        // The second driver may join in the first hour, not later.
        TRunCase{"d60 c60 w1140 r540 w60", {}},
        TRunCase{"d61 c60 w1139 r540 w60", {1, 180, 540, TSeverity::VerySerious}},
        TRunCase{"c60 d1 w1199 r540 w60", {1, 180, 540, TSeverity::VerySerious}}));

TEST(Rules, MultiManningIsNamed) {
    TScript script;
    Play(script, kMon, "c60 w1201 r540 w60");
    const auto found = Of(Judged(script).Infringements, "daily-rest");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].Detail.find("multi-manning"), std::string::npos) << found[0].Detail;
}

// ------------------------------------------------------------------ weekly rest

class WeeklyRestDue : public testing::TestWithParam<TRunCase> {};

TEST_P(WeeklyRestDue, StartsWithinSixDays) {
    // The weekly rest before the data ends on Monday 06:00: the next one is
    // due by Sunday 06:00.
    TScript script;
    Play(script, kMon, GetParam().Tokens);
    Expect(Judged(script), "weekly-rest", GetParam().Expected, GetParam().Tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WeeklyRestDue,
    testing::Values(
        TRunCase{"w600 r840 w600 r840 w600 r840 w600 r840 w600 r840 w600 r540 w299", {}},
        TRunCase{"w600 r840 w600 r840 w600 r840 w600 r840 w600 r840 w600 r540 w300", {}},
        TRunCase{"w600 r840 w600 r840 w600 r840 w600 r840 w600 r840 w600 r540 w301",
                 {1, 8641, 8640, TSeverity::Minor}},
        TRunCase{"w600 r840 w600 r840 w600 r840 w600 r840 w600 r840 w600 r540 w480",
                 {1, 8820, 8640, TSeverity::Serious}},
        // Seven days without one.
        TRunCase{"w600 r840 w600 r840 w600 r840 w600 r840 w600 r840 w600 r840 w600 r840 w600",
                 {1, 10680, 8640, TSeverity::VerySerious}}));

struct TFortnightRestCase {
    int FirstRest, SecondRest; // minutes, from Friday 16:00 of each week; at most 3060 - 1
    TExpected Expected;
};

class WeeklyRestPair : public testing::TestWithParam<TFortnightRestCase> {};

TEST_P(WeeklyRestPair, ARegularOneInAnyTwoWeeks) {
    TScript script;
    for (int week = 0; week < 2; ++week) {
        const int rest = week == 0 ? GetParam().FirstRest : GetParam().SecondRest;
        // Work fills the rest of the week up to 11 h of rest before Monday 06:00.
        Play(script, week * 7 * 1440 + kMon,
             "w600 r840 w600 r840 w600 r840 w600 r840 w600 r" + std::to_string(rest) + " w" +
                 std::to_string(3060 - rest) + " r660");
    }
    const std::string label =
        std::to_string(GetParam().FirstRest) + "+" + std::to_string(GetParam().SecondRest);
    Expect(Judged(script), "weekly-rest", GetParam().Expected, label);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WeeklyRestPair,
    testing::Values(TFortnightRestCase{2280, 2700, {}}, TFortnightRestCase{2700, 1440, {}},
                    TFortnightRestCase{2280, 2699, {1, 2699, 2700, TSeverity::Minor}},
                    TFortnightRestCase{1440, 1500, {1, 1500, 2700, TSeverity::VerySerious}}));

// ------------------------------------------------------------------ edges of the data

TEST(Rules, PeriodsTheDataCutsAreNotJudged) {
    cardsim::TScriptRange fromMonday;
    fromMonday.FirstDay = 0;
    TScript start;
    Play(start, 0, "d180 r600 w60");
    const rules::TJudgement atStart = Judged(start, fromMonday);
    EXPECT_TRUE(atStart.Infringements.empty()) << Summary(atStart.Infringements);
    for (const char* rule : {"daily-driving", "break", "daily-rest"}) {
        const auto cut = Of(atStart.NotJudged, rule);
        ASSERT_EQ(cut.size(), 1u) << rule << ": " << Summary(atStart.NotJudged);
        EXPECT_EQ(cut[0].Detail.rfind("not judged: data starts", 0), 0u) << cut[0].Detail;
    }
    // What the data shows over a limit is an infringement all the same.
    TScript over;
    Play(over, 0, "d271 r600 w60");
    Expect(Judged(over, fromMonday), "break", {1, 271, 270, TSeverity::Minor}, "cut, over");

    cardsim::TScriptRange toMonday;
    toMonday.LastDay = 0;
    TScript end;
    Play(end, 20 * 60, "d240");
    const rules::TJudgement atEnd = Judged(end, toMonday);
    EXPECT_TRUE(atEnd.Infringements.empty()) << Summary(atEnd.Infringements);
    for (const char* rule : {"daily-driving", "daily-rest"}) {
        const auto cut = Of(atEnd.NotJudged, rule);
        ASSERT_EQ(cut.size(), 1u) << rule << ": " << Summary(atEnd.NotJudged);
        EXPECT_EQ(cut[0].Detail.rfind("not judged: data ends", 0), 0u) << cut[0].Detail;
    }
}

TEST(Rules, TimelineFromFaultyDays) {
    // Monday with a change out of order and its record twice, Tuesday
    // missing, Wednesday starting at 06:00 with nothing before.
    using carddata::TActivity;
    const carddata::TTime monday = 1702252800;
    carddata::TDay mon{monday,
                       1,
                       0,
                       {{0, TActivity::Rest},
                        {600, TActivity::Driving},
                        {500, TActivity::Work},
                        {660, TActivity::Rest}}};
    carddata::TDay duplicate{monday, 1, 0, {{0, TActivity::Driving}}};
    carddata::TDay wed{monday + 2 * 86400, 2, 0, {{360, TActivity::Work}, {420, TActivity::Rest}}};
    const rules::TTimeline t = rules::BuildTimeline({wed, mon, duplicate});
    const rules::TMinute m = monday / 60;
    ASSERT_EQ(t.Begin, m);
    ASSERT_EQ(t.End, m + 3 * 1440);
    const std::vector<rules::TPeriod> expected = {
        {m, m + 600, rules::TKind::Rest},
        {m + 600, m + 660, rules::TKind::Driving},
        {m + 660, m + 1440, rules::TKind::Rest},
        {m + 1440, m + 2 * 1440 + 360, rules::TKind::Unknown},
        {m + 2 * 1440 + 360, m + 2 * 1440 + 420, rules::TKind::Work},
        {m + 2 * 1440 + 420, m + 3 * 1440, rules::TKind::Rest}};
    ASSERT_EQ(t.Periods.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(t.Periods[i].Start, expected[i].Start) << i;
        EXPECT_EQ(t.Periods[i].End, expected[i].End) << i;
        EXPECT_EQ(t.Periods[i].Kind, expected[i].Kind) << i;
    }
    EXPECT_EQ(rules::Judge({wed, mon, duplicate}).UnknownMinutes, 1440 + 360);
    const rules::TJudgement none = rules::Judge({});
    EXPECT_TRUE(none.Infringements.empty() && none.NotJudged.empty());
}

// ------------------------------------------------------------------ the simulated fortnight

TEST(Rules, InfringementWeekHasOneOfEachAndNothingElse) {
    const rules::TJudgement j = rules::Judge(cardsim::InfringementWeek());
    EXPECT_EQ(Summary(j.Infringements), "weekly-driving 3900/3360 VSI; "
                                        "fortnightly-driving 5550/5400 MI; "
                                        "weekly-rest 9255/8640 SI; "
                                        "daily-driving 660/600 SI; "
                                        "break 300/270 SI; "
                                        "daily-rest 420/540 SI; ");
    EXPECT_EQ(j.UnknownMinutes, 0);
}

TEST(Rules, InfringementWeekOnACard) {
    const std::vector<carddata::TDay> days = cardsim::InfringementWeek();
    cardsim::TCardOptions options;
    options.Gen2Version = 2;
    cardsim::TCardImage image = cardsim::BuildDriverCard(options);
    cardsim::SetActivity(image, days, options.ActivityStructureLength);
    const std::vector<std::uint8_t> file =
        cardsim::DriverActivityFile(days, options.ActivityStructureLength);
    ASSERT_EQ(file.size(), 4u + options.ActivityStructureLength);
    EXPECT_EQ(*image.Find(cardsim::ef::DriverActivityData), file);
    EXPECT_EQ(*image.Find(cardsim::G2(0x0504)), file);

    // A ring too small for all: the newest days from its start, the oldest
    // kept one with no record before it, the newest pointer on the last.
    const std::size_t last = 12 + 2 * days.back().Changes.size();
    const std::size_t before = 12 + 2 * days[days.size() - 2].Changes.size();
    const auto small =
        cardsim::DriverActivityFile(days, static_cast<std::uint16_t>(last + before + 5));
    ASSERT_EQ(small.size(), 4 + last + before + 5);
    EXPECT_EQ((small[0] << 8 | small[1]), 0);
    EXPECT_EQ(static_cast<std::size_t>(small[2] << 8 | small[3]), before);
    EXPECT_EQ((small[4] << 8 | small[5]), 0);
    EXPECT_EQ(static_cast<std::size_t>(small[6] << 8 | small[7]), before);
    EXPECT_EQ(static_cast<std::size_t>(small[4 + before] << 8 | small[5 + before]), before);
    EXPECT_EQ(static_cast<std::size_t>(small[6 + before] << 8 | small[7 + before]), last);
    carddata::TTime date = 0;
    for (std::size_t i = 8 + before; i < 12 + before; ++i) {
        date = date << 8 | small[i];
    }
    EXPECT_EQ(date, days.back().Date);
}

// ------------------------------------------------------------------ output

TEST(Rules, JsonAndText) {
    rules::TJudgement j;
    j.Infringements.push_back(
        {"break", 1703052900, 1703070900, 300, 270, TSeverity::Serious, "5 h \"at once\"\n"});
    j.NotJudged.push_back(
        {"daily-rest", 1702252800, 1702339200, 0, 660, TSeverity::None, "not judged: data starts"});
    j.UnknownMinutes = 75;
    EXPECT_EQ(rules::FindingsJson(j),
              "\"infringements\":[{\"rule\":\"break\",\"start\":\"2023-12-20T06:15:00Z\","
              "\"end\":\"2023-12-20T11:15:00Z\",\"value\":300,\"limit\":270,\"severity\":\"SI\","
              "\"detail\":\"5 h \\\"at once\\\"\\u000a\"}],"
              "\"notJudged\":[{\"rule\":\"daily-rest\",\"start\":\"2023-12-11T00:00:00Z\","
              "\"end\":\"2023-12-12T00:00:00Z\",\"value\":0,\"limit\":660,\"severity\":null,"
              "\"detail\":\"not judged: data starts\"}]");
    rules::TOptions work;
    work.UnknownAs = rules::TUnknownAs::Work;
    EXPECT_EQ(rules::UnknownJson(j, work), "\"unknownMinutes\":75,\"unknownAs\":\"work\"");
    const std::string text = rules::FindingsText(j, {});
    EXPECT_NE(
        text.find("Infringements: 1\n  2023-12-20 06:15 - 2023-12-20 11:15  break  5 h 00 min "
                  "(limit 4 h 30 min)  SI  "),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("Unknown time counted as rest: 1 h 15 min\n"), std::string::npos) << text;
}

} // namespace

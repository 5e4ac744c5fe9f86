// bench_rules: the driving and rest rules over 365 days of a driver's activity
// (working weeks with the odd long day, short rest, late weekly rest and
// multi-manning trip, and a few hours with the card out), against a plain
// pass over the same days that sums the minutes of each activity. Each figure
// is the median of 51 rounds. Target: judging 365 days under 10 ms.
#include "cardsim/ActivityScript.h"
#include "rules/Rules.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDays = 365;
constexpr int kRounds = 51;
constexpr double kTargetMs = 10;

std::string Clock2(int minute) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", minute / 60 % 100, minute % 60);
    return text;
}

std::string Day(int day) {
    static const char* const kNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    return std::to_string(day / 7 + 1) + kNames[day % 7];
}

// A year from the first Monday: five or six working days a week, each two to
// four spells of driving with breaks, loading work and availability; now and
// then a day over the limits, a trip in multi-manning or the card left out.
std::vector<carddata::TDay> Year() {
    std::uint32_t state = 0x2545F491u;
    auto next = [&state](std::uint32_t range) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<int>(state % range);
    };
    std::vector<std::string> script;
    for (int day = 0; day < kDays; ++day) {
        const int weekday = day % 7;
        if (weekday == 6 || (weekday == 5 && next(3) != 0)) {
            continue;
        }
        int at = 300 + next(150);
        const bool crew = next(20) == 0;
        const int spells = 2 + next(2);
        auto put = [&](const char* kind, int length, bool withCrew) {
            if (at >= 1440) {
                return; // the day's last spell ran past midnight
            }
            script.push_back(Day(day) + " " + Clock2(at) + " " + kind + " " +
                             std::to_string(length / 60) + ":" + Clock2(length).substr(3) +
                             (withCrew ? " crew" : ""));
            at += length;
        };
        put("work", 20 + next(30), false);
        for (int s = 0; s < spells && at < 1080; ++s) {
            put("drive", 90 + next(185), crew);
            put(next(10) == 0 ? "unknown" : "rest", next(8) == 0 ? 15 + next(30) : 45 + next(30),
                false);
            put(next(2) == 0 ? "work" : "avail", 5 + next(40), false);
        }
    }
    cardsim::TScriptRange range;
    range.FirstDay = 0;
    range.LastDay = kDays - 1;
    return cardsim::DaysFromScript(script, range);
}

// The baseline: one pass over the days adding up each activity's minutes.
std::int64_t SumMinutes(const std::vector<carddata::TDay>& days) {
    std::int64_t sums[5] = {};
    for (const carddata::TDay& day : days) {
        for (std::size_t i = 0; i < day.Changes.size(); ++i) {
            const carddata::TActivityChange& c = day.Changes[i];
            const int end = i + 1 < day.Changes.size() ? day.Changes[i + 1].Minute : 1440;
            sums[c.Unknown() ? 4 : static_cast<int>(c.Activity)] += end - c.Minute;
        }
    }
    return sums[0] + 2 * sums[1] + 3 * sums[2] + 4 * sums[3] + 5 * sums[4];
}

template <typename F> double MedianMs(F&& run) {
    std::vector<double> ms;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = Clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

} // namespace

int main() {
    const std::vector<carddata::TDay> days = Year();
    std::size_t changes = 0;
    for (const carddata::TDay& day : days) {
        changes += day.Changes.size();
    }
    volatile std::int64_t sink = 0;
    rules::TJudgement judgement;
    const double baseline = MedianMs([&] { sink = sink + SumMinutes(days); });
    const double judged = MedianMs([&] { judgement = rules::Judge(days); });
    std::printf("days: %zu, activity changes: %zu\n", days.size(), changes);
    std::printf("infringements: %zu, not judged: %zu, unknown minutes: %d\n",
                judgement.Infringements.size(), judgement.NotJudged.size(),
                judgement.UnknownMinutes);
    for (const char* rule : {"daily-driving", "weekly-driving", "fortnightly-driving", "break",
                             "daily-rest", "weekly-rest"}) {
        std::printf("  %-20s %zu\n", rule,
                    static_cast<std::size_t>(std::count_if(
                        judgement.Infringements.begin(), judgement.Infringements.end(),
                        [rule](const rules::TFinding& f) { return f.Rule == rule; })));
    }
    std::printf("plain pass summing the minutes: %.3f ms\n", baseline);
    std::printf("judging the six rules:          %.3f ms (target < %.0f ms)\n", judged, kTargetMs);
    std::printf("ratio judging / plain pass:     %.1f\n", baseline > 0 ? judged / baseline : 0.0);
    return judged < kTargetMs ? 0 : 1;
}

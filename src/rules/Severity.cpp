#include "rules/Severity.h"

#include <limits>

namespace rules {

namespace {

constexpr int kOpen = std::numeric_limits<int>::max();
constexpr int H = 60;

struct TBand {
    TBands Bands;
    int Low, High; // Low <= value < High
    TSeverity Severity;
};

using S = TSeverity;
// "9h < ... < 10h" becomes [9 h + 1 min, 10 h): values are whole minutes.
constexpr TBand kTable[] = {
    {TBands::DailyDriving9, 9 * H + 1, 10 * H, S::Minor},
    {TBands::DailyDriving9, 10 * H, 11 * H, S::Serious},
    {TBands::DailyDriving9, 11 * H, 13 * H + 30, S::VerySerious},
    {TBands::DailyDriving9, 13 * H + 30, kOpen, S::MostSerious},
    {TBands::DailyDriving10, 10 * H + 1, 11 * H, S::Minor},
    {TBands::DailyDriving10, 11 * H, 12 * H, S::Serious},
    {TBands::DailyDriving10, 12 * H, 15 * H, S::VerySerious},
    {TBands::DailyDriving10, 15 * H, kOpen, S::MostSerious},
    {TBands::WeeklyDriving, 56 * H + 1, 60 * H, S::Minor},
    {TBands::WeeklyDriving, 60 * H, 65 * H, S::Serious},
    {TBands::WeeklyDriving, 65 * H, 70 * H, S::VerySerious},
    {TBands::WeeklyDriving, 70 * H, kOpen, S::MostSerious},
    {TBands::FortnightlyDriving, 90 * H + 1, 100 * H, S::Minor},
    {TBands::FortnightlyDriving, 100 * H, 105 * H, S::Serious},
    {TBands::FortnightlyDriving, 105 * H, 112 * H + 30, S::VerySerious},
    {TBands::FortnightlyDriving, 112 * H + 30, kOpen, S::MostSerious},
    {TBands::Break, 4 * H + 31, 5 * H, S::Minor},
    {TBands::Break, 5 * H, 6 * H, S::Serious},
    {TBands::Break, 6 * H, kOpen, S::VerySerious},
    {TBands::DailyRestRegular, 10 * H, 11 * H, S::Minor},
    {TBands::DailyRestRegular, 8 * H + 30, 10 * H, S::Serious},
    {TBands::DailyRestRegular, 0, 8 * H + 30, S::VerySerious},
    {TBands::DailyRestReduced, 8 * H, 9 * H, S::Minor},
    {TBands::DailyRestReduced, 7 * H, 8 * H, S::Serious},
    {TBands::DailyRestReduced, 0, 7 * H, S::VerySerious},
    {TBands::DailyRestSplit, 8 * H, 9 * H, S::Minor},
    {TBands::DailyRestSplit, 7 * H, 8 * H, S::Serious},
    {TBands::DailyRestSplit, 0, 7 * H, S::VerySerious},
    {TBands::DailyRestCrew, 8 * H, 9 * H, S::Minor},
    {TBands::DailyRestCrew, 7 * H, 8 * H, S::Serious},
    {TBands::DailyRestCrew, 0, 7 * H, S::VerySerious},
    {TBands::WeeklyRestReduced, 22 * H, 24 * H, S::Minor},
    {TBands::WeeklyRestReduced, 20 * H, 22 * H, S::Serious},
    {TBands::WeeklyRestReduced, 0, 20 * H, S::VerySerious},
    {TBands::WeeklyRestRegular, 42 * H, 45 * H, S::Minor},
    {TBands::WeeklyRestRegular, 36 * H, 42 * H, S::Serious},
    {TBands::WeeklyRestRegular, 0, 36 * H, S::VerySerious},
    {TBands::WeeklyRestLate, 144 * H + 1, 147 * H, S::Minor},
    {TBands::WeeklyRestLate, 147 * H, 156 * H, S::Serious},
    {TBands::WeeklyRestLate, 156 * H, kOpen, S::VerySerious},
};

} // namespace

TSeverity Severity(TBands bands, int value) {
    for (const TBand& band : kTable) {
        if (band.Bands == bands && value >= band.Low && value < band.High) {
            return band.Severity;
        }
    }
    return TSeverity::None;
}

const char* SeverityCode(TSeverity severity) {
    switch (severity) {
    case TSeverity::Minor:
        return "MI";
    case TSeverity::Serious:
        return "SI";
    case TSeverity::VerySerious:
        return "VSI";
    case TSeverity::MostSerious:
        return "MSI";
    case TSeverity::None:
        break;
    }
    return nullptr;
}

} // namespace rules

// The bands of Regulation (EU) 2016/403 Annex I (SI, VSI, MSI) and of Annex
// III to Directive 2006/22/EC as that regulation amended it (MI), by the
// value the rule measures, in minutes.
#pragma once

#include "rules/Rules.h"

namespace rules {

enum class TBands : std::uint8_t {
    DailyDriving9,  // daily driving over 9 h where no extension is left
    DailyDriving10, // daily driving over 10 h where the extension is allowed
    WeeklyDriving,
    FortnightlyDriving,
    Break,             // driving before the break
    DailyRestRegular,  // less than 11 h where no reduction is left
    DailyRestReduced,  // less than 9 h where a reduction is allowed
    DailyRestSplit,    // the second part of a split rest, less than 9 h
    DailyRestCrew,     // multi-manning, less than 9 h within 30 h
    WeeklyRestReduced, // less than 24 h
    WeeklyRestRegular, // less than 45 h where no reduction is allowed
    WeeklyRestLate,    // minutes from the end of one weekly rest to the start of the next
};

TSeverity Severity(TBands bands, int value);

} // namespace rules

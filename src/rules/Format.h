// Times and durations as the rules' findings write them.
#pragma once

#include "carddata/CardData.h"

#include <string>

namespace rules {

std::string DurationText(long long minutes);   // "7 h 05 min"
std::string TimeText(carddata::TTime seconds); // "2023-12-11 06:00"
std::string IsoTime(carddata::TTime seconds);  // "2023-12-11T06:00:00Z"

} // namespace rules

// A driver's days written as lines of a small script, for simulated cards and
// tests of the driving rules:
//
//   "Mon 06:00 drive 4:30"        Monday of the first week, 06:00, 4 h 30 min
//   "2Tue 22:15 work 0:45 crew"   Tuesday of the second week, in multi-manning
//   "0Sun 23:00 unknown 3:00"     the Sunday before the first week; card out
//
// Kinds: drive, work, avail, rest, unknown. Time not written is rest; a line
// may run past midnight. Later lines overwrite earlier ones.
#pragma once

#include "carddata/CardData.h"

#include <string>
#include <vector>

namespace cardsim {

struct TScriptRange {
    // Monday 00:00 UTC of the first week (default 2023-12-11).
    carddata::TTime FirstMonday = 1702252800;
    // The first and the last day recorded, as days from FirstMonday (0 is
    // the first Monday, -2 the Saturday before). By default from that
    // Saturday to the day after the last activity ends.
    int FirstDay = -2;
    int LastDay = -1000; // -1000: the day after the last activity
};

// Throws std::invalid_argument on a line it cannot read.
std::vector<carddata::TDay> DaysFromScript(const std::vector<std::string>& lines,
                                           const TScriptRange& range = {});

} // namespace cardsim

// STAND-IN, for this branch only: the decoder of card download files lives in
// src/carddata once it is merged, and this file and its lines in
// tests/support/CMakeLists.txt go then. Until then the window links, opens
// every file as one without records, and counts a day's minutes the way the
// decoder does.
#include "carddata/CardData.h"

#include <algorithm>
#include <cstdint>
#include <span>

namespace carddata {

TCardData Decode(std::span<const std::uint8_t> file) {
    TCardData data;
    data.Errors.push_back("this build has no decoder of card download files (" +
                          std::to_string(file.size()) + " bytes not decoded)");
    return data;
}

TDayTotals Totals(const TDay& day) {
    TDayTotals totals;
    for (std::size_t i = 0; i < day.Changes.size(); ++i) {
        const TActivityChange& change = day.Changes[i];
        const int begin = std::min<int>(change.Minute, 1440);
        const int end =
            i + 1 < day.Changes.size() ? std::min<int>(day.Changes[i + 1].Minute, 1440) : 1440;
        const int minutes = std::max(0, end - begin);
        if (change.Unknown()) {
            totals.Unknown += minutes;
            continue;
        }
        switch (change.Activity) {
        case TActivity::Driving:
            totals.Driving += minutes;
            break;
        case TActivity::Work:
            totals.Work += minutes;
            break;
        case TActivity::Availability:
            totals.Availability += minutes;
            break;
        case TActivity::Rest:
            totals.Rest += minutes;
            break;
        }
    }
    return totals;
}

} // namespace carddata

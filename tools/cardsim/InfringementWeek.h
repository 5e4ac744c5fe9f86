// A driver's fortnight with exactly one infringement of each driving and rest
// rule, for the demonstration and the tests of the rules. Its second week
// needs the first: the two-week driving limit spans both.
#pragma once

#include "carddata/CardData.h"
#include "cardsim/CardImage.h"

#include <cstdint>
#include <vector>

namespace cardsim {

// From Saturday 2023-12-09 to Sunday 2023-12-24, every day recorded:
// - weekly-driving: 65 h in the week from 2023-12-11 (seven shifts);
// - weekly-rest: the one after it starts on Sunday 2023-12-17 at 16:15,
//   154 h 15 min after the previous one ended;
// - fortnightly-driving: 92 h 30 min in the two weeks from 2023-12-11;
// - daily-driving: 11 h on Tuesday 2023-12-19;
// - break: 5 h of driving at once on Wednesday 2023-12-20;
// - daily-rest: 7 h of rest within the 24 h from Thursday 2023-12-21 06:00.
std::vector<carddata::TDay> InfringementWeek();

// EF Driver_Activity_Data holding these days as daily records, newest last,
// the oldest dropped where the ring of `structureLength` bytes is too small.
std::vector<std::uint8_t> DriverActivityFile(const std::vector<carddata::TDay>& days,
                                             std::uint16_t structureLength);

// The image's activity files (first generation, and the second where there
// is one) replaced by these days.
void SetActivity(TCardImage& image, const std::vector<carddata::TDay>& days,
                 std::uint16_t structureLength);

} // namespace cardsim

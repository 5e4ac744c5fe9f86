// Decoded cards built in code, for the card-contents window, its report and
// their benchmark: a driver's believable four weeks, and the largest card.
#pragma once

#include "carddata/CardData.h"

namespace cardfixture {

constexpr carddata::TTime kDay = 24 * 60 * 60;

// 00:00 UTC of a calendar day.
carddata::TTime Date(int year, int month, int day);

// Four weeks up to `lastDay` (a Sunday reads best): working days of driving
// blocks with breaks and loading, rests at night, a Friday the card left the
// tachograph early, a weekend rested with the card inserted, weekends and a
// holiday without a record; three vehicles, events and a fault.
carddata::TCardData WorkingMonth(carddata::TTime lastDay, carddata::TTime expiry);
// The calendar days WorkingMonth leaves without a record.
std::vector<carddata::TTime> WorkingMonthGaps(carddata::TTime lastDay);

// As many records as the largest second-generation card keeps: a year of
// days with many changes each, hundreds of vehicles and places, full event
// and fault lists.
carddata::TCardData LargestCard(carddata::TTime lastDay);

} // namespace cardfixture

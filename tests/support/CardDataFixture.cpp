#include "CardDataFixture.h"

#include <QDate>
#include <QDateTime>
#include <random>
#include <set>

namespace cardfixture {

namespace {

using carddata::TActivity;
using carddata::TActivityChange;
using carddata::TDay;
using carddata::TTime;

class TDayBuilder {
public:
    explicit TDayBuilder(TTime date) { Day.Date = date; }
    // `activity` from `minute` on; the previous one ends there.
    TDayBuilder& At(int minute, TActivity activity) {
        TActivityChange change;
        change.Minute = static_cast<std::uint16_t>(minute);
        change.Activity = activity;
        change.CoDriver = CoDriver;
        change.Crew = Crew && Inserted;
        change.CardInserted = Inserted;
        change.ManualEntry = !Inserted && Manual;
        Day.Changes.push_back(change);
        if (activity == TActivity::Driving) {
            DrivingFrom = minute;
        } else if (DrivingFrom >= 0) {
            Day.DistanceKm += (minute - DrivingFrom) * 68 / 60;
            DrivingFrom = -1;
        }
        return *this;
    }
    TDayBuilder& Withdrawn(int minute) {
        Inserted = false;
        Manual = false;
        return At(minute, TActivity::Rest);
    }
    TDay Done() {
        if (DrivingFrom >= 0) {
            At(1439, TActivity::Rest);
        }
        return Day;
    }
    TDay Day;
    bool Inserted = true, Manual = false, Crew = false, CoDriver = false;
    int DrivingFrom = -1;
};

// A working day beginning at `start` minutes: checks, four driving blocks,
// their breaks, loading and waiting at the customer's, rest from the evening.
TDay WorkingDay(TTime date, int start, std::mt19937& random, bool crew = false) {
    auto spread = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    TDayBuilder day(date);
    day.Crew = crew;
    int t = start;
    day.At(0, TActivity::Rest);
    day.At(t, TActivity::Work);
    t += spread(10, 20);
    day.At(t, TActivity::Driving);
    t += spread(130, 165);
    day.At(t, TActivity::Rest);
    t += 45;
    day.At(t, TActivity::Driving);
    t += spread(100, 140);
    day.At(t, TActivity::Work);
    t += spread(30, 60);
    day.At(t, TActivity::Availability);
    t += spread(15, 35);
    day.At(t, TActivity::Driving);
    t += spread(90, 130);
    day.At(t, TActivity::Rest);
    t += spread(30, 50);
    day.At(t, TActivity::Driving);
    t += spread(50, 100);
    day.At(t, TActivity::Work);
    t += spread(10, 20);
    day.At(t, TActivity::Rest);
    return day.Done();
}

carddata::TVehicle Vehicle(const char* registration, TTime first, TTime last, int odometer,
                           int km) {
    carddata::TVehicle vehicle;
    vehicle.Registration = registration;
    vehicle.Nation = "HR";
    vehicle.FirstUse = first;
    vehicle.LastUse = last;
    vehicle.OdometerBegin = odometer;
    vehicle.OdometerEnd = odometer + km;
    return vehicle;
}

carddata::TEvent Event(int type, const char* name, TTime begin, int minutes, const char* vehicle) {
    return {type, name, begin, begin + minutes * 60, vehicle};
}

carddata::TPlace Place(TTime time, bool begin, std::int64_t odometer) {
    carddata::TPlace place;
    place.Time = time;
    place.Begin = begin;
    place.Country = "HR";
    place.Odometer = odometer;
    return place;
}

void Identity(carddata::TCardData& data, TTime expiry) {
    data.Generation = 1;
    data.Card.Number = "HR00000123456780";
    data.Card.IssuingNation = "HR";
    data.Card.IssuingAuthority = "Centar za vozila";
    data.Card.IssueDate = expiry - 5 * 365 * kDay;
    data.Card.ValidityBegin = data.Card.IssueDate;
    data.Card.ExpiryDate = expiry;
    data.Driver.Surname = "KOVAČEVIĆ";
    data.Driver.FirstNames = "Marko";
    data.Driver.BirthDate = Date(1978, 4, 12);
    data.Driver.LicenceNumber = "HR1234567";
    data.Driver.LicenceNation = "HR";
}

} // namespace

TTime Date(int year, int month, int day) {
    return QDateTime(QDate(year, month, day), QTime(0, 0), Qt::UTC).toSecsSinceEpoch();
}

std::vector<TTime> WorkingMonthGaps(TTime lastDay) {
    const TTime first = lastDay - 27 * kDay;
    // The first and the third weekend, and the fourth Saturday; the Wednesday
    // of the third week off.
    return {first + 5 * kDay,  first + 6 * kDay,  first + 16 * kDay,
            first + 19 * kDay, first + 20 * kDay, first + 26 * kDay};
}

carddata::TCardData WorkingMonth(TTime lastDay, TTime expiry) {
    carddata::TCardData data;
    Identity(data, expiry);
    std::mt19937 random(20261109);
    const TTime first = lastDay - 27 * kDay;
    const std::vector<TTime> gaps = WorkingMonthGaps(lastDay);
    const std::set<TTime> none(gaps.begin(), gaps.end());
    int presence = 410;
    for (int i = 0; i < 28; ++i) {
        const TTime date = first + i * kDay;
        if (none.count(date) != 0) {
            continue;
        }
        TDay day;
        if (i == 4) {
            // Friday before the weekend at home: the card leaves the
            // tachograph with the truck parked, nothing known afterwards.
            day = WorkingDay(date, 300, random);
            day.Changes.pop_back();
            TDayBuilder rest(date);
            rest.Day = day;
            rest.Withdrawn(day.Changes.back().Minute + 15);
            day = rest.Done();
        } else if (i == 7) {
            // Monday after: the weekend entered by hand, then the card in.
            TDayBuilder monday(date);
            monday.Inserted = false;
            monday.Manual = true;
            monday.At(0, TActivity::Rest);
            monday.Inserted = true;
            TDay work = WorkingDay(date, 330, random);
            for (std::size_t c = 1; c < work.Changes.size(); ++c) {
                monday.Day.Changes.push_back(work.Changes[c]);
            }
            monday.Day.DistanceKm = work.DistanceKm;
            day = monday.Day;
        } else if (i == 12) {
            // Saturday morning's short run home, then the weekly rest.
            TDayBuilder saturday(date);
            saturday.At(0, TActivity::Rest)
                .At(390, TActivity::Work)
                .At(405, TActivity::Driving)
                .At(560, TActivity::Rest)
                .At(605, TActivity::Driving)
                .At(690, TActivity::Work)
                .At(720, TActivity::Rest);
            day = saturday.Done();
        } else if (i == 13) {
            TDayBuilder sunday(date);
            sunday.At(0, TActivity::Rest);
            day = sunday.Done();
        } else if (i == 17) {
            // A two-driver run: the card in the co-driver's slot half the day.
            day = WorkingDay(date, 240, random, true);
            for (std::size_t c = day.Changes.size() / 2; c < day.Changes.size(); ++c) {
                day.Changes[c].CoDriver = true;
                if (day.Changes[c].Activity == TActivity::Driving) {
                    day.Changes[c].Activity = TActivity::Availability;
                }
            }
        } else if (i == 27) {
            // Sunday evening: out again for Monday's delivery.
            TDayBuilder sunday(date);
            sunday.At(0, TActivity::Rest)
                .At(1080, TActivity::Work)
                .At(1100, TActivity::Driving)
                .At(1235, TActivity::Rest);
            day = sunday.Done();
        } else {
            day =
                WorkingDay(date, 270 + std::uniform_int_distribution<int>(0, 150)(random), random);
        }
        day.Date = date;
        day.PresenceCounter = ++presence;
        data.Days.push_back(std::move(day));
    }

    data.Vehicles = {
        Vehicle("ZG 4821-KT", first + 5 * 3600, first + 4 * kDay + 17 * 3600, 412'305, 2'910),
        Vehicle("ZG 1177-HB", first + 7 * kDay + 5 * 3600, first + 18 * kDay + 19 * 3600, 288'760,
                5'480),
        Vehicle("RI 903-AC", first + 21 * kDay + 5 * 3600, lastDay + 20 * 3600, 97'412, 3'620),
    };
    data.Events = {
        Event(0x05, "Card insertion while driving", first + 7 * kDay + 5 * 3600 + 40 * 60, 1,
              "HR ZG 1177-HB"),
        Event(0x07, "Over speeding", first + 9 * kDay + 11 * 3600 + 12 * 60, 3, "HR ZG 1177-HB"),
        Event(0x08, "Power supply interruption", first + 22 * kDay + 2 * 3600, 95, "HR RI 903-AC"),
    };
    data.Faults = {
        Event(0x35, "Sensor fault", first + 15 * kDay + 14 * 3600, 40, "HR ZG 1177-HB"),
    };
    data.Places = {Place(first + 5 * 3600, true, 412'305),
                   Place(first + 4 * kDay + 17 * 3600, false, 415'215)};
    data.LastCardDownload = lastDay + 20 * 3600 + 45 * 60;
    return data;
}

carddata::TCardData LargestCard(TTime lastDay) {
    carddata::TCardData data;
    Identity(data, lastDay + 400 * kDay);
    data.Generation = 2;
    std::mt19937 random(7);
    for (int i = 364; i >= 0; --i) {
        const TTime date = lastDay - i * kDay;
        TDay day = WorkingDay(date, 240, random);
        // Short stops all day long: the most changes a day's record holds.
        TDayBuilder busy(date);
        busy.Day = day;
        for (int minute = day.Changes.back().Minute + 10; minute < 1430; minute += 12) {
            busy.At(minute, TActivity::Work).At(minute + 4, TActivity::Rest);
        }
        day = busy.Done();
        day.PresenceCounter = 365 - i;
        data.Days.push_back(std::move(day));
    }
    for (int v = 0; v < 250; ++v) {
        carddata::TVehicle vehicle =
            Vehicle("ZG 1000-AA", lastDay - (v + 2) * kDay, lastDay - v * kDay, 100'000 + v, 700);
        vehicle.Registration = "ZG " + std::to_string(1000 + v) + "-AA";
        vehicle.Vin = "WDB9634031L" + std::to_string(100000 + v);
        data.Vehicles.push_back(std::move(vehicle));
    }
    for (int e = 0; e < 24; ++e) {
        data.Events.push_back(
            Event(0x07, "Over speeding", lastDay - e * 7 * kDay, 2, "HR ZG 1000-AA"));
        data.Faults.push_back(
            Event(0x35, "Sensor fault", lastDay - e * 9 * kDay, 30, "HR ZG 1000-AA"));
    }
    for (int p = 0; p < 1120; ++p) {
        data.Places.push_back(Place(lastDay - p * 8 * 3600, p % 2 == 0, 100'000 + p * 90));
    }
    data.LastCardDownload = lastDay + 20 * 3600;
    return data;
}

} // namespace cardfixture

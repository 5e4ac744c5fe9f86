#include "carddata/CardData.h"
#include "cardsim/SampleCard.h"
#include "cardsim/SampleDownload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace carddata;
using TBytes = std::vector<std::uint8_t>;

namespace {

int Sum(const TDayTotals& t) {
    return t.Driving + t.Work + t.Availability + t.Rest + t.Unknown;
}

bool HasError(const TCardData& d, const std::string& part) {
    for (const std::string& e : d.Errors) {
        if (e.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void SetBe16(TBytes& b, std::size_t at, unsigned value) {
    b.at(at) = static_cast<std::uint8_t>(value >> 8);
    b.at(at + 1) = static_cast<std::uint8_t>(value);
}

std::string Errors(const TCardData& d) {
    std::string all;
    for (const std::string& e : d.Errors) {
        all += e + "\n";
    }
    return all;
}

// The first generation's sample, decoded: the holder, and every day as the
// simulator planned it, bit for bit, with whole-day totals.
TEST(CardDataTest, DecodesTheFirstGenerationSample) {
    const TCardData d = Decode(cardsim::DownloadOf(cardsim::BuildDriverCard()));
    EXPECT_TRUE(d.Errors.empty()) << Errors(d);
    EXPECT_EQ(d.Generation, 1);
    EXPECT_EQ(d.Card.Number, "D100000012345600");
    EXPECT_EQ(d.Card.IssuingNation, "D");
    EXPECT_EQ(d.Card.IssuingAuthority, "Kraftfahrt-Bundesamt");
    EXPECT_EQ(IsoDate(d.Card.ExpiryDate), "2024-12-31");
    EXPECT_EQ(d.Driver.Surname, "\xC5\xA0IMUNOVI\xC4\x86"); // ŠIMUNOVIĆ
    EXPECT_EQ(d.Driver.FirstNames, "\xC5\xBD"
                                   "eljko"); // Željko
    EXPECT_EQ(IsoDate(d.Driver.BirthDate), "1978-04-23");
    EXPECT_EQ(d.Driver.LicenceNumber, "HR12345678");
    EXPECT_EQ(d.Driver.LicenceNation, "HR");
    EXPECT_EQ(d.Driver.LicenceAuthority, "Policijska uprava zagrebacka");
    EXPECT_EQ(d.Driver.PreferredLanguage, "hr");
    ASSERT_TRUE(d.LastCardDownload);
    EXPECT_EQ(IsoTime(*d.LastCardDownload), "2024-01-01T00:00:00Z");
    EXPECT_EQ(d.Application.ActivityStructureLength, 13776);

    const std::vector<cardsim::TActivityDay> plan = cardsim::SampleActivity(1, 28);
    ASSERT_EQ(d.Days.size(), plan.size());
    int working = 0;
    for (std::size_t i = 0; i < d.Days.size(); ++i) {
        const TDay& day = d.Days[i];
        EXPECT_EQ(IsoDate(day.Date), IsoDate(1701648000 + static_cast<TTime>(i) * 86400));
        EXPECT_EQ(Sum(Totals(day)), 1440) << IsoDate(day.Date);
        ASSERT_EQ(day.Changes.size(), plan[i].Changes.size());
        for (std::size_t c = 0; c < day.Changes.size(); ++c) {
            const TActivityChange& got = day.Changes[c];
            const cardsim::TActivityEntry& want = plan[i].Changes[c];
            EXPECT_EQ(got.Minute, want.Minute);
            EXPECT_EQ(static_cast<int>(got.Activity), want.Activity);
            EXPECT_EQ(got.CardInserted, want.CardInserted);
            EXPECT_EQ(got.ManualEntry, want.Manual);
        }
        working += Totals(day).Driving > 0 ? 1 : 0;
    }
    EXPECT_EQ(working, 20);
    // Sunday: the card out, the rest entered by hand: known, not unknown.
    EXPECT_EQ(Totals(d.Days.back()).Rest, 1440);
    EXPECT_EQ(d.Days.back().PresenceCounter, 20);
    ASSERT_EQ(d.Vehicles.size(), 20u);
    EXPECT_FALSE(d.Vehicles[0].Vin);
    EXPECT_LT(d.Vehicles[0].FirstUse, d.Vehicles[19].FirstUse);
    EXPECT_EQ(d.Vehicles[19].OdometerEnd - d.Vehicles[19].OdometerBegin, d.Days[25].DistanceKm);
    EXPECT_EQ(d.Places.size(), 40u);
    EXPECT_EQ(d.Events.size(), 3u);
    EXPECT_EQ(d.Events[0].Name, "Card insertion while driving");
    ASSERT_EQ(d.Faults.size(), 1u);
    EXPECT_EQ(d.Faults[0].Name, "VU internal fault");
    ASSERT_EQ(d.Controls.size(), 1u);
    EXPECT_EQ(d.Controls[0].ControlCard, "HRC0000000000100");
    EXPECT_EQ(d.Controls[0].Vehicle, "HR ZG1234AB");
    ASSERT_TRUE(d.CurrentUsage);
    EXPECT_EQ(d.CurrentUsage->Vehicle, "HR ZG 1234-AB");
    EXPECT_EQ(d.SpecificConditions.size(), 2u);

    // The same days in a buffer that wraps round its end, as a card's does
    // once it is full.
    cardsim::TCardImage image = cardsim::BuildDriverCard();
    const TBytes& activity = *image.Find(cardsim::ef::DriverActivityData);
    const std::size_t size = activity.size() - 4;
    const std::size_t shift = size - 500;
    TBytes wrapped(activity.size());
    for (std::size_t i = 0; i < size; ++i) {
        wrapped[4 + (i + shift) % size] = activity[4 + i];
    }
    const std::size_t newest = static_cast<std::size_t>(activity[2] << 8 | activity[3]);
    wrapped[0] = static_cast<std::uint8_t>(shift >> 8);
    wrapped[1] = static_cast<std::uint8_t>(shift);
    wrapped[2] = static_cast<std::uint8_t>((newest + shift) % size >> 8);
    wrapped[3] = static_cast<std::uint8_t>((newest + shift) % size);
    image.Set(cardsim::ef::DriverActivityData, wrapped);
    const TCardData w = Decode(cardsim::DownloadOf(image));
    EXPECT_TRUE(w.Errors.empty()) << Errors(w);
    ASSERT_EQ(w.Days.size(), d.Days.size());
    for (std::size_t i = 0; i < w.Days.size(); ++i) {
        EXPECT_EQ(w.Days[i].Date, d.Days[i].Date);
        EXPECT_EQ(w.Days[i].Changes.size(), d.Days[i].Changes.size());
        EXPECT_EQ(w.Days[i].DistanceKm, d.Days[i].DistanceKm);
    }
}

// A second-generation card: the lists come from its G2 part, with what only
// that part has.
TEST(CardDataTest, DecodesTheSecondGenerationPart) {
    cardsim::TCardOptions options;
    options.Gen2Version = 2;
    const TCardData d = Decode(cardsim::DownloadOf(cardsim::BuildDriverCard(options)));
    EXPECT_TRUE(d.Errors.empty()) << Errors(d);
    EXPECT_EQ(d.Generation, 2);
    EXPECT_EQ(d.Card.Number, "D100000012345600");
    EXPECT_EQ(d.Days.size(), 28u);
    ASSERT_EQ(d.Vehicles.size(), 20u);
    ASSERT_TRUE(d.Vehicles[0].Vin);
    EXPECT_EQ(*d.Vehicles[0].Vin, "WDB9634031L100000");
    ASSERT_EQ(d.Places.size(), 40u);
    ASSERT_TRUE(d.Places[0].Gnss);
    EXPECT_NEAR(d.Places[0].Gnss->Latitude, 45.81, 0.02);
    EXPECT_NEAR(d.Places[0].Gnss->Longitude, 15.98, 0.02);
    EXPECT_EQ(d.Places[0].Authenticated, true);
    ASSERT_FALSE(d.GnssAccumulatedDriving.empty());
    EXPECT_EQ(d.GnssAccumulatedDriving[0].Authenticated, true);
    EXPECT_EQ(d.Application.BorderCrossingRecords, 56);
    EXPECT_FALSE(d.GnssAccumulatedDriving.empty());
    EXPECT_FALSE(d.BorderCrossings.empty());
    EXPECT_EQ(d.LoadUnloadOperations.size(), 40u);
    EXPECT_EQ(d.LoadTypeEntries.size(), 20u);
    EXPECT_EQ(d.VehicleUnits.size(), 20u);
}

// A full cyclic file whose newest record sits mid-way: oldest first from the
// one after it, round the end. Dates through leap days and centuries.
TEST(CardDataTest, CyclicFilesAndDatesComeInOrder) {
    cardsim::TCardOptions options;
    options.VehicleRecords = 12; // 20 working days: the buffer has gone round
    cardsim::TCardImage image = cardsim::BuildDriverCard(options);
    TBytes vehicles = *image.Find(cardsim::ef::VehiclesUsed);
    ASSERT_EQ(vehicles.size(), 2u + 12 * 31);
    // The simulator keeps them in order; rotate them as a card that wrote
    // 20 records into 12 places has them: the newest at index 7.
    TBytes rotated(vehicles.begin(), vehicles.begin() + 2);
    for (std::size_t i = 0; i < 12; ++i) {
        const std::size_t from = 2 + (i + 4) % 12 * 31;
        rotated.insert(rotated.end(), vehicles.begin() + static_cast<std::ptrdiff_t>(from),
                       vehicles.begin() + static_cast<std::ptrdiff_t>(from + 31));
    }
    SetBe16(rotated, 0, 7);
    image.Set(cardsim::ef::VehiclesUsed, rotated);
    const TCardData d = Decode(cardsim::DownloadOf(image));
    ASSERT_EQ(d.Vehicles.size(), 12u);
    for (std::size_t i = 1; i < d.Vehicles.size(); ++i) {
        EXPECT_LT(d.Vehicles[i - 1].FirstUse, d.Vehicles[i].FirstUse) << i;
    }
    EXPECT_EQ(IsoDate(d.Vehicles.back().FirstUse), "2023-12-29");

    EXPECT_EQ(IsoTime(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoTime(951782400 + 86399), "2000-02-29T23:59:59Z");
    EXPECT_EQ(IsoDate(1709164800), "2024-02-29");
    EXPECT_EQ(IsoDate(4107542400), "2100-03-01");
    EXPECT_EQ(IsoDate(-86400), "1969-12-31");
}

// Whole days whatever the changes: time before the first change and after a
// change that goes back is not counted twice, minutes past midnight are cut.
TEST(CardDataTest, TotalsAlwaysMakeAWholeDay) {
    auto change = [](std::uint16_t minute, TActivity a, bool inserted = true, bool manual = false) {
        TActivityChange c;
        c.Minute = minute;
        c.Activity = a;
        c.CardInserted = inserted;
        c.ManualEntry = manual;
        return c;
    };
    TDay day;
    EXPECT_EQ(Totals(day).Unknown, 1440);
    day.Changes = {change(0, TActivity::Rest), change(360, TActivity::Driving),
                   change(600, TActivity::Work, false, false),
                   change(660, TActivity::Availability, false, true)};
    TDayTotals t = Totals(day);
    EXPECT_EQ(t.Rest, 360);
    EXPECT_EQ(t.Driving, 240);
    EXPECT_EQ(t.Unknown, 60);
    EXPECT_EQ(t.Availability, 780);
    day.Changes = {change(100, TActivity::Driving), change(50, TActivity::Work),
                   change(2000, TActivity::Rest)};
    t = Totals(day);
    EXPECT_EQ(t.Unknown, 100);
    EXPECT_EQ(t.Driving, 0);
    EXPECT_EQ(t.Work, 1340);
    EXPECT_EQ(Sum(t), 1440);
}

// Files that lie: every one gives its error and the rest of the card, never
// a crash, an exception or a walk without end.
TEST(CardDataTest, HostileFilesGiveClearErrors) {
    const cardsim::TCardImage good = cardsim::BuildDriverCard();
    const TBytes& activity = *good.Find(cardsim::ef::DriverActivityData);
    const unsigned newest = activity[2] << 8 | activity[3];
    auto withActivity = [&](const TBytes& a) {
        cardsim::TCardImage image = good;
        image.Set(cardsim::ef::DriverActivityData, a);
        return Decode(cardsim::DownloadOf(image));
    };

    TBytes a = activity;
    SetBe16(a, 2, 13776); // the newest record past the buffer
    TCardData d = withActivity(a);
    EXPECT_TRUE(HasError(d, "lies past the buffer")) << Errors(d);
    EXPECT_TRUE(d.Days.empty());
    EXPECT_EQ(d.Driver.LicenceNumber, "HR12345678");

    a = activity;
    SetBe16(a, 4 + newest + 2, 0); // the newest day of 0 bytes
    d = withActivity(a);
    EXPECT_TRUE(HasError(d, "length of 0 bytes")) << Errors(d);
    EXPECT_TRUE(d.Days.empty());

    a = activity;
    SetBe16(a, 4 + newest, 0xFFFF); // the one before it longer than the buffer
    d = withActivity(a);
    EXPECT_TRUE(HasError(d, "more than the buffer")) << Errors(d);
    EXPECT_EQ(d.Days.size(), 1u);

    a = activity;
    SetBe16(a, 0, 13000);          // an oldest record the walk never meets
    SetBe16(a, 4 + newest, 13776); // and a step back all the way round, to itself
    d = withActivity(a);
    EXPECT_TRUE(HasError(d, "in a circle")) << Errors(d);
    EXPECT_EQ(d.Days.size(), 1u);

    a = activity;
    SetBe16(a, 4 + newest + 2, 0x3000); // a day as long as most of the buffer
    d = withActivity(a);
    EXPECT_TRUE(HasError(d, "longer than a day's")) << Errors(d);

    cardsim::TCardImage image = good;
    TBytes vehicles = *good.Find(cardsim::ef::VehiclesUsed);
    SetBe16(vehicles, 0, 5000);
    image.Set(cardsim::ef::VehiclesUsed, vehicles);
    image.Set(cardsim::ef::Identification, TBytes(100, 0x41));
    d = Decode(cardsim::DownloadOf(image));
    EXPECT_TRUE(HasError(d, "newest record's index 5000")) << Errors(d);
    EXPECT_EQ(d.Vehicles.size(), 20u);
    EXPECT_TRUE(HasError(d, "EF 0520 (Identification): 100 bytes")) << Errors(d);
    EXPECT_TRUE(d.Card.Number.empty());

    // Cut inside a record: what comes before it is still decoded.
    TBytes file = cardsim::DownloadOf(good);
    file.resize(file.size() - 1000);
    d = Decode(file);
    EXPECT_TRUE(HasError(d, "announces")) << Errors(d);
    EXPECT_EQ(d.Card.Number, "D100000012345600");
    EXPECT_TRUE(HasError(d, "Driver_Activity_Data): not in the file"));

    EXPECT_EQ(Decode({}).RecordCount, 0u);
    const TBytes noise(3000, 0xA5);
    d = Decode(noise);
    EXPECT_EQ(d.RecordCount, 0u);
    EXPECT_FALSE(d.Errors.empty());
}

} // namespace

#include "cardsim/InfringementWeek.h"

#include "cardsim/ActivityScript.h"

#include <cstdio>
#include <string>

namespace cardsim {

namespace {

// A shift from 06:00 with the breaks the rules want: `spells` of driving,
// 45 min of rest between them, a quarter of an hour's work on either side.
void Shift(std::vector<std::string>& script, const std::string& day,
           std::initializer_list<int> spells) {
    auto clock = [](int minute) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d", minute / 60 % 100, minute % 60);
        return std::string(text);
    };
    int at = 6 * 60;
    script.push_back(day + " " + clock(at) + " work 0:15");
    at += 15;
    bool first = true;
    for (const int spell : spells) {
        if (!first) {
            at += 45;
        }
        first = false;
        script.push_back(day + " " + clock(at) + " drive " + std::to_string(spell / 60) + ":" +
                         clock(spell % 60).substr(3));
        at += spell;
    }
    script.push_back(day + " " + clock(at) + " work 0:15");
}

} // namespace

std::vector<carddata::TDay> InfringementWeek() {
    std::vector<std::string> script;
    const std::initializer_list<int> nine = {270, 270};
    const std::initializer_list<int> ten = {270, 270, 60};
    // The first week: 9 h, 9 h, 10 h, 10 h, then 9 h on Friday, Saturday and
    // Sunday; the Sunday shift comes after the weekly rest was due.
    for (const char* day : {"Mon", "Tue", "Fri", "Sat", "Sun"}) {
        Shift(script, day, nine);
    }
    Shift(script, "Wed", ten);
    Shift(script, "Thu", ten);
    // A regular weekly rest to Tuesday 06:00, then 11 h of driving.
    Shift(script, "2Tue", {270, 270, 120});
    // 5 h at once, then a break and 3 h.
    script.push_back("2Wed 06:00 work 0:15");
    script.push_back("2Wed 06:15 drive 5:00");
    script.push_back("2Wed 12:00 drive 3:00");
    script.push_back("2Wed 15:00 work 0:15");
    // A 17-hour day: only 7 h of the rest from 23:00 fall in its 24 h.
    script.push_back("2Thu 06:00 work 0:15");
    script.push_back("2Thu 06:15 drive 4:30");
    script.push_back("2Thu 11:30 drive 4:00");
    script.push_back("2Thu 15:30 work 7:30");
    TScriptRange range;
    range.FirstDay = -2;
    range.LastDay = 13;
    return DaysFromScript(script, range);
}

std::vector<std::uint8_t> DriverActivityFile(const std::vector<carddata::TDay>& days,
                                             std::uint16_t structureLength) {
    using TBytes = std::vector<std::uint8_t>;
    auto put16 = [](TBytes& out, unsigned value) {
        out.push_back(static_cast<std::uint8_t>(value >> 8));
        out.push_back(static_cast<std::uint8_t>(value));
    };
    std::vector<TBytes> records;
    unsigned presence = 0;
    for (const carddata::TDay& day : days) {
        TBytes r;
        put16(r, 0); // previous record's length, set when laid out
        put16(r, static_cast<unsigned>(12 + 2 * day.Changes.size()));
        put16(r, static_cast<unsigned>(static_cast<std::uint32_t>(day.Date) >> 16));
        put16(r, static_cast<unsigned>(static_cast<std::uint32_t>(day.Date) & 0xFFFF));
        ++presence;
        r.push_back(static_cast<std::uint8_t>((presence / 1000 % 10) << 4 | presence / 100 % 10));
        r.push_back(static_cast<std::uint8_t>((presence / 10 % 10) << 4 | presence % 10));
        put16(r, static_cast<unsigned>(day.DistanceKm));
        for (const carddata::TActivityChange& c : day.Changes) {
            // 'scpaattttttttttt'
            const bool cBit = c.CardInserted ? c.Crew : c.ManualEntry;
            put16(r, (c.CoDriver ? 0x8000u : 0u) | (cBit ? 0x4000u : 0u) |
                         (c.CardInserted ? 0u : 0x2000u) | static_cast<unsigned>(c.Activity) << 11 |
                         (c.Minute & 0x7FFu));
        }
        records.push_back(r);
    }
    std::size_t first = 0, total = 0;
    for (std::size_t i = records.size(); i-- > 0;) {
        if (total + records[i].size() > structureLength) {
            first = i + 1;
            break;
        }
        total += records[i].size();
    }
    TBytes area;
    std::size_t newest = 0, previous = 0;
    for (std::size_t i = first; i < records.size(); ++i) {
        TBytes& r = records[i];
        r[0] = static_cast<std::uint8_t>(previous >> 8);
        r[1] = static_cast<std::uint8_t>(previous);
        newest = area.size();
        previous = r.size();
        area.insert(area.end(), r.begin(), r.end());
    }
    area.resize(structureLength, 0);
    TBytes file;
    put16(file, 0);
    put16(file, static_cast<unsigned>(newest));
    file.insert(file.end(), area.begin(), area.end());
    return file;
}

void SetActivity(TCardImage& image, const std::vector<carddata::TDay>& days,
                 std::uint16_t structureLength) {
    const std::vector<std::uint8_t> file = DriverActivityFile(days, structureLength);
    image.Set(ef::DriverActivityData, file);
    if (image.Find(G2(0x0504))) {
        image.Set(G2(0x0504), file);
    }
}

} // namespace cardsim

#include "ShowText.h"

#include <cstdio>

using namespace carddata;

namespace {

std::string When(TTime time) {
    if (time == 0) {
        return "-";
    }
    const std::string iso = IsoTime(time); // 2024-01-01T06:15:00Z
    return iso.substr(0, 10) + " " + iso.substr(11, 5);
}

std::string Day(TTime time) {
    return time == 0 ? "-" : IsoDate(time);
}

std::string Hours(int minutes) {
    char text[16];
    std::snprintf(text, sizeof text, "%2d:%02d", minutes / 60, minutes % 60);
    return text;
}

void Events(std::string& out, const char* title, const std::vector<TEvent>& events) {
    out += std::string(title) + " (" + std::to_string(events.size()) + "):\n";
    for (const TEvent& e : events) {
        char type[8];
        std::snprintf(type, sizeof type, "%02X", e.Type & 0xFF);
        out += "  " + When(e.Begin) + " - " + When(e.End) + "  " + type + " " + e.Name +
               (e.Vehicle.empty() ? "" : "  " + e.Vehicle) + "\n";
    }
}

} // namespace

std::string ShowText(const TShown& shown) {
    const TCardData& d = shown.Data;
    std::string out;
    out += "Driver card " + d.Card.Number + " (" + d.Card.IssuingNation + ", " +
           d.Card.IssuingAuthority + "), generation " + std::to_string(d.Generation) + "\n";
    out += "  issued " + Day(d.Card.IssueDate) + ", valid from " + Day(d.Card.ValidityBegin) +
           " to " + Day(d.Card.ExpiryDate) + "\n";
    out += "Driver: " + d.Driver.Surname + ", " + d.Driver.FirstNames + ", born " +
           Day(d.Driver.BirthDate) + "\n";
    out += "Driving licence: " + d.Driver.LicenceNumber + " (" + d.Driver.LicenceNation + ")\n";
    out += "Last card download: " + (d.LastCardDownload ? When(*d.LastCardDownload) : "-") +
           (d.LastCardDownload ? " UTC" : "") + "\n";
    out += "Signatures: " + shown.Signatures + "\n";
    if (!d.Days.empty()) {
        out += "Period covered: " + IsoDate(d.Days.front().Date) + " to " +
               IsoDate(d.Days.back().Date) + "\n";
    }
    out += "\nDays (" + std::to_string(d.Days.size()) +
           "), hours:minutes  driving  work  availability  rest  unknown  km\n";
    for (const TDay& day : d.Days) {
        const TDayTotals t = Totals(day);
        out += "  " + IsoDate(day.Date) + "  " + Hours(t.Driving) + "  " + Hours(t.Work) + "  " +
               Hours(t.Availability) + "  " + Hours(t.Rest) + "  " + Hours(t.Unknown) + "  " +
               std::to_string(day.DistanceKm) + "\n";
    }
    out += "\nVehicles (" + std::to_string(d.Vehicles.size()) + "):\n";
    for (const TVehicle& v : d.Vehicles) {
        out += "  " + v.Nation + " " + v.Registration + "  " + When(v.FirstUse) + " - " +
               When(v.LastUse) + "  " + std::to_string(v.OdometerBegin) + " - " +
               std::to_string(v.OdometerEnd) + " km" + (v.Vin ? "  VIN " + *v.Vin : "") + "\n";
    }
    out += "\nPlaces (" + std::to_string(d.Places.size()) + "):\n";
    for (const TPlace& p : d.Places) {
        out += "  " + When(p.Time) + "  " + (p.Begin ? "begin" : "end  ") + "  " + p.Country +
               (p.Region.empty() ? "" : " " + p.Region) + "  " + std::to_string(p.Odometer) +
               " km\n";
    }
    out += "\n";
    Events(out, "Events", d.Events);
    out += "\n";
    Events(out, "Faults", d.Faults);
    out += "\nControls (" + std::to_string(d.Controls.size()) + "):\n";
    for (const TControl& c : d.Controls) {
        out += "  " + When(c.Time) + "  control card " + c.ControlCard +
               (c.Vehicle.empty() ? "" : "  " + c.Vehicle) + "\n";
    }
    return out;
}

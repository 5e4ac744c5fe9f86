#include "ShowJson.h"

#include "rules/RulesJson.h"

#include <cstdio>

using namespace carddata;

void TJsonWriter::Value() {
    if (AfterKey) {
        AfterKey = false;
        return;
    }
    if (!Empty.empty()) {
        if (!Empty.back()) {
            Out += ',';
        }
        Empty.back() = false;
    }
}

void TJsonWriter::Open(char bracket) {
    Value();
    Out += bracket;
    Empty.push_back(true);
}

void TJsonWriter::Close(char bracket) {
    Out += bracket;
    Empty.pop_back();
}

void TJsonWriter::Key(std::string_view key) {
    String(key);
    Out += ':';
    AfterKey = true;
}

void TJsonWriter::String(std::string_view text) {
    Value();
    Out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            Out += '\\';
            Out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            Out += escaped;
        } else {
            Out += c;
        }
    }
    Out += '"';
}

void TJsonWriter::Members(std::string_view members) {
    if (members.empty()) {
        return;
    }
    Value();
    Out += members;
}

void TJsonWriter::Number(std::int64_t value) {
    Value();
    Out += std::to_string(value);
}

void TJsonWriter::Bool(bool value) {
    Value();
    Out += value ? "true" : "false";
}

void TJsonWriter::Null() {
    Value();
    Out += "null";
}

void TJsonWriter::Time(TTime time) {
    if (time == 0) {
        Null();
    } else {
        String(IsoTime(time));
    }
}

void TJsonWriter::Date(TTime time) {
    if (time == 0) {
        Null();
    } else {
        String(IsoDate(time));
    }
}

namespace {

const char* ActivityName(TActivity activity) {
    switch (activity) {
    case TActivity::Rest:
        return "rest";
    case TActivity::Availability:
        return "availability";
    case TActivity::Work:
        return "work";
    case TActivity::Driving:
        return "driving";
    }
    return "rest";
}

void Card(TJsonWriter& j, const TCardData& d) {
    j.Key("card");
    j.BeginObject();
    j.Key("number");
    j.String(d.Card.Number);
    j.Key("issuingNation");
    j.String(d.Card.IssuingNation);
    j.Key("issuingAuthority");
    j.String(d.Card.IssuingAuthority);
    j.Key("issueDate");
    j.Time(d.Card.IssueDate);
    j.Key("validityBegin");
    j.Time(d.Card.ValidityBegin);
    j.Key("expiryDate");
    j.Time(d.Card.ExpiryDate);
    j.EndObject();
}

void Driver(TJsonWriter& j, const TCardData& d) {
    j.Key("driver");
    j.BeginObject();
    j.Key("surname");
    j.String(d.Driver.Surname);
    j.Key("firstNames");
    j.String(d.Driver.FirstNames);
    j.Key("birthDate");
    j.Date(d.Driver.BirthDate);
    j.Key("licenceNumber");
    j.String(d.Driver.LicenceNumber);
    j.Key("licenceNation");
    j.String(d.Driver.LicenceNation);
    j.EndObject();
}

void Days(TJsonWriter& j, const TCardData& d) {
    j.Key("days");
    j.BeginArray();
    for (const TDay& day : d.Days) {
        j.BeginObject();
        j.Key("date");
        j.String(IsoDate(day.Date));
        j.Key("presenceCounter");
        j.Number(day.PresenceCounter);
        j.Key("distanceKm");
        j.Number(day.DistanceKm);
        const TDayTotals totals = Totals(day);
        j.Key("minutes");
        j.BeginObject();
        j.Key("driving");
        j.Number(totals.Driving);
        j.Key("work");
        j.Number(totals.Work);
        j.Key("availability");
        j.Number(totals.Availability);
        j.Key("rest");
        j.Number(totals.Rest);
        j.Key("unknown");
        j.Number(totals.Unknown);
        j.EndObject();
        j.Key("changes");
        j.BeginArray();
        for (const TActivityChange& change : day.Changes) {
            char start[8];
            std::snprintf(start, sizeof start, "%02d:%02d", change.Minute / 60 % 100,
                          change.Minute % 60);
            j.BeginObject();
            j.Key("start");
            j.String(start);
            j.Key("activity");
            j.String(ActivityName(change.Activity));
            j.Key("slot");
            j.String(change.CoDriver ? "co-driver" : "driver");
            j.Key("crew");
            j.Bool(change.Crew);
            j.Key("cardInserted");
            j.Bool(change.CardInserted);
            j.EndObject();
        }
        j.EndArray();
        j.EndObject();
    }
    j.EndArray();
}

void Vehicles(TJsonWriter& j, const TCardData& d) {
    j.Key("vehicles");
    j.BeginArray();
    for (const TVehicle& v : d.Vehicles) {
        j.BeginObject();
        j.Key("registration");
        j.String(v.Registration);
        j.Key("nation");
        j.String(v.Nation);
        j.Key("firstUse");
        j.Time(v.FirstUse);
        j.Key("lastUse");
        j.Time(v.LastUse);
        j.Key("odometerBegin");
        j.Number(v.OdometerBegin);
        j.Key("odometerEnd");
        j.Number(v.OdometerEnd);
        j.Key("vin");
        if (v.Vin) {
            j.String(*v.Vin);
        } else {
            j.Null();
        }
        j.EndObject();
    }
    j.EndArray();
}

void Places(TJsonWriter& j, const TCardData& d) {
    j.Key("places");
    j.BeginArray();
    for (const TPlace& p : d.Places) {
        j.BeginObject();
        j.Key("time");
        j.Time(p.Time);
        j.Key("entry");
        j.String(p.Begin ? "begin" : "end");
        j.Key("country");
        j.String(p.Country);
        j.Key("region");
        j.String(p.Region);
        j.Key("odometer");
        j.Number(p.Odometer);
        j.EndObject();
    }
    j.EndArray();
}

void Events(TJsonWriter& j, const char* key, const std::vector<TEvent>& events) {
    j.Key(key);
    j.BeginArray();
    for (const TEvent& e : events) {
        j.BeginObject();
        j.Key("type");
        j.Number(e.Type);
        j.Key("name");
        j.String(e.Name);
        j.Key("begin");
        j.Time(e.Begin);
        j.Key("end");
        j.Time(e.End);
        j.Key("vehicle");
        j.String(e.Vehicle);
        j.EndObject();
    }
    j.EndArray();
}

void Controls(TJsonWriter& j, const TCardData& d) {
    j.Key("controls");
    j.BeginArray();
    for (const TControl& c : d.Controls) {
        j.BeginObject();
        j.Key("type");
        j.Number(c.Type);
        j.Key("time");
        j.Time(c.Time);
        j.Key("vehicle");
        j.String(c.Vehicle);
        j.Key("controlCard");
        j.String(c.ControlCard);
        j.EndObject();
    }
    j.EndArray();
}

} // namespace

std::string ShowJson(const TShown& shown) {
    const TCardData& d = shown.Data;
    TJsonWriter j;
    j.BeginObject();
    j.Key("generation");
    j.Number(d.Generation);
    Card(j, d);
    Driver(j, d);
    j.Key("lastCardDownload");
    j.Time(d.LastCardDownload.value_or(0));
    Days(j, d);
    Vehicles(j, d);
    Places(j, d);
    Events(j, "events", d.Events);
    Events(j, "faults", d.Faults);
    Controls(j, d);
    j.Members(rules::FindingsJson(shown.Judgement));
    j.Key("signatures");
    j.String(shown.Signatures);
    j.EndObject();
    return j.Text();
}

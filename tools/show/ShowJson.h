// dravik-show's JSON: one object with the card, the driver, the days and the
// lists. ShowJson writes it section by section; a new section is a new
// function of ShowJson.cpp called from there, written with TJsonWriter.
#pragma once

#include "carddata/CardData.h"
#include "rules/Rules.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What dravik-show tells of one file.
struct TShown {
    carddata::TCardData Data;
    std::string Signatures;      // "valid", "not valid" or "not checked"
    rules::TJudgement Judgement; // the driving and rest rules over Data.Days
};

// Writes compact JSON, putting the commas itself; text must be UTF-8.
class TJsonWriter {
public:
    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }
    void Key(std::string_view key);
    void String(std::string_view text);
    void Number(std::int64_t value);
    void Bool(bool value);
    void Null();
    // A time as "2024-01-01T06:15:00Z", null when not recorded (0).
    void Time(carddata::TTime time);
    // A day as "2024-01-01", null when not recorded (0).
    void Date(carddata::TTime time);
    // Members already written as JSON ("a":1,"b":2) into the open object.
    void Members(std::string_view members);
    const std::string& Text() const { return Out; }

private:
    void Value();
    void Open(char bracket);
    void Close(char bracket);
    std::string Out;
    std::vector<bool> Empty; // per open bracket: nothing written in it yet
    bool AfterKey = false;
};

// The whole object, without a line end.
std::string ShowJson(const TShown& shown);

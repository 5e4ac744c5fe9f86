// The card's contents as a printable PDF (A4): the header's facts, the day
// chart split over as many pages as it needs, and the tables of vehicles,
// events and faults. QtGui only: a tool can write it with an offscreen
// QGuiApplication.
#pragma once

#include "carddata/CardData.h"
#include "contents/ContentsText.h"
#include "contents/DayChart.h"

#include <string>
#include <vector>

namespace contents {

struct TReportOptions {
    bool Croatian = true;
    TSignatureVerdict Signatures;
    // Calendar days of the chart, up to the latest recorded one.
    int Days = 28;
    std::vector<TMark> Marks;
    // The time the validity warning is judged at; 0: now.
    carddata::TTime Now = 0;
};

struct TReportResult {
    std::string Error; // empty when the file was written
    int Pages = 0;
};

// Needs a QGuiApplication (or QApplication).
TReportResult WriteCardReport(const carddata::TCardData& data, const TReportOptions& options,
                              const std::string& path);

// The current time, as the validity warning judges it.
carddata::TTime Now();

} // namespace contents

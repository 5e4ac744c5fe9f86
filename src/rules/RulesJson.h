// The rules' findings for dravik-show: a JSON fragment and lines of text.
#pragma once

#include "rules/Rules.h"

#include <string>

namespace rules {

// "infringements":[...],"notJudged":[...] without the enclosing braces, each
// finding {"rule","start","end","value","limit","severity","detail"}; times
// ISO 8601 UTC, value and limit in minutes, severity "MSI|VSI|SI|MI" or null.
std::string FindingsJson(const TJudgement& judgement);
// "unknownMinutes":N and "unknownAs":"rest"|"work", for the same object.
std::string UnknownJson(const TJudgement& judgement, const TOptions& options);

// One line per finding, the infringements first, then the time counted from
// unknown activity.
std::string FindingsText(const TJudgement& judgement, const TOptions& options);

} // namespace rules

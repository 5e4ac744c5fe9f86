#include "rules/Format.h"

#include <cstdio>

namespace rules {

namespace {

struct TCivil {
    long long Year;
    unsigned Month, Day, Hour, Minute, Second;
};

// Howard Hinnant's days-to-civil, so that no C library's gmtime (absent or
// thread-unsafe on some platforms) is needed.
TCivil Civil(carddata::TTime seconds) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return {year,
            month,
            day,
            static_cast<unsigned>(rest / 3600),
            static_cast<unsigned>(rest / 60 % 60),
            static_cast<unsigned>(rest % 60)};
}

} // namespace

std::string DurationText(long long minutes) {
    const char* sign = minutes < 0 ? "-" : "";
    if (minutes < 0) {
        minutes = -minutes;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%s%lld h %02lld min", sign, minutes / 60, minutes % 60);
    return text;
}

std::string TimeText(carddata::TTime seconds) {
    const TCivil c = Civil(seconds);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u", c.Year, c.Month, c.Day, c.Hour,
                  c.Minute);
    return text;
}

std::string IsoTime(carddata::TTime seconds) {
    const TCivil c = Civil(seconds);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", c.Year, c.Month, c.Day,
                  c.Hour, c.Minute, c.Second);
    return text;
}

} // namespace rules

// The card data decoder on any bytes: it returns (no exception, no crash, no
// walk without end), every day it gives makes a whole day, the days come
// ordered by date, and its error list stays short.
#include "FuzzCheck.h"
#include "carddata/CardData.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const carddata::TCardData d = carddata::Decode({data, size});
    FUZZ_CHECK(d.Generation == 1 || d.Generation == 2);
    FUZZ_CHECK(d.Errors.size() <= 202);
    for (std::size_t i = 0; i < d.Days.size(); ++i) {
        const carddata::TDayTotals t = carddata::Totals(d.Days[i]);
        FUZZ_CHECK(t.Driving >= 0 && t.Work >= 0 && t.Availability >= 0 && t.Rest >= 0 &&
                   t.Unknown >= 0);
        FUZZ_CHECK(t.Driving + t.Work + t.Availability + t.Rest + t.Unknown == 1440);
        FUZZ_CHECK(i == 0 || d.Days[i - 1].Date <= d.Days[i].Date);
        FUZZ_CHECK(d.Days[i].Date % 86400 == 0);
    }
    // A day record is at least 12 bytes of the buffer.
    FUZZ_CHECK(d.Days.size() <= size / 12 + 1);
    return 0;
}

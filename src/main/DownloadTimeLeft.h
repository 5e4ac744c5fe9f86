// The time a slow download has still to go, from the bytes still to read at
// the pace the card has kept so far, and its text in the window's languages.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Before this long nothing is estimated: a fast download ends first, and the
// first seconds (the connection, the small files) tell little of the pace.
constexpr double kTimeLeftAfterSeconds = 3;

// Seconds left after `elapsed` seconds with `bytesDone` of `bytesToDo` read;
// none before kTimeLeftAfterSeconds or before the first byte.
std::optional<double> EstimateTimeLeft(double elapsed, std::size_t bytesDone,
                                       std::size_t bytesToDo);

// "još oko 1 min 20 s" / "about 1 min 20 s left": up to a minute rounded up
// to 5 s, from then on to 10 s.
std::string TimeLeftText(double seconds, bool croatian);

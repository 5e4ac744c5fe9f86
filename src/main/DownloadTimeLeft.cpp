#include "main/DownloadTimeLeft.h"

#include <algorithm>
#include <cmath>

std::optional<double> EstimateTimeLeft(double elapsed, std::size_t bytesDone,
                                       std::size_t bytesToDo) {
    if (elapsed < kTimeLeftAfterSeconds || bytesDone == 0) {
        return std::nullopt;
    }
    const std::size_t left = bytesToDo > bytesDone ? bytesToDo - bytesDone : 0;
    return elapsed * static_cast<double>(left) / static_cast<double>(bytesDone);
}

std::string TimeLeftText(double seconds, bool croatian) {
    // Never "0 s": while the download runs something is left.
    const long step = seconds < 60 ? 5 : 10;
    const long rounded = std::max(step, static_cast<long>(std::ceil(seconds / step)) * step);
    std::string amount;
    if (rounded >= 60) {
        amount = std::to_string(rounded / 60) + " min";
        if (rounded % 60 != 0) {
            amount += " " + std::to_string(rounded % 60) + " s";
        }
    } else {
        amount = std::to_string(rounded) + " s";
    }
    return croatian ? "još oko " + amount : "about " + amount + " left";
}

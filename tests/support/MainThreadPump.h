// Serving the watchers' reports on the test's own thread, without a window.
#pragma once

#include "platform/Thread.h"

#include <chrono>
#include <functional>
#include <thread>

// Runs handed-over calls until `done` holds or `limit` has passed; true if it held.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        mainthread::RunPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Serves reports for a while, to see that none come.
inline void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

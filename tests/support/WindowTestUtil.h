// Helpers for tests that drive the window.
#pragma once

#include "platform/Thread.h"

#include <QCoreApplication>
#include <QStringList>
#include <chrono>
#include <functional>
#include <thread>

namespace windowtest {

// Runs the event loop (and with it the watchers' reports) until `done` holds
// or `limit` has passed. Returns whether `done` held.
inline bool ProcessUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void ProcessFor(std::chrono::milliseconds duration) {
    ProcessUntil([] { return false; }, duration);
}

} // namespace windowtest

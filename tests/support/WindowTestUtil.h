// Helpers for tests that drive the window.
#pragma once

#include "platform/Thread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <algorithm>
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

// The longest the main thread went without handling events, while it lives:
// a timer asks every 10 ms, and each gap between its ticks is measured.
class TEventGapMeter {
public:
    TEventGapMeter() {
        Timer.setInterval(10);
        Timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            const qint64 now = Clock.nsecsElapsed();
            if (Ticks > 0) {
                LongestNs = std::max(LongestNs, now - LastNs);
            }
            LastNs = now;
            ++Ticks;
        });
        Clock.start();
        Timer.start();
    }
    // Up to now: a main thread still busy since the last tick counts too.
    double LongestMs() const {
        const qint64 sinceLast = Ticks > 0 ? Clock.nsecsElapsed() - LastNs : 0;
        return static_cast<double>(std::max(LongestNs, sinceLast)) / 1e6;
    }
    int TickCount() const { return Ticks; }

private:
    QTimer Timer;
    QElapsedTimer Clock;
    qint64 LastNs = 0;
    qint64 LongestNs = 0;
    int Ticks = 0;
};

} // namespace windowtest

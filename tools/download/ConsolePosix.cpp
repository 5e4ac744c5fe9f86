#include "Console.h"

#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace console {

namespace {

// The handler is dropped before what it reaches is destroyed: a signal during
// the program's end finds none.
std::mutex HandlerMutex;
std::function<void()> Handler;

} // namespace

bool ErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void OnStopRequest(std::function<void()> onStop) {
    {
        std::lock_guard lock(HandlerMutex);
        Handler = std::move(onStop);
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Blocked here, inherited by every thread started later: only the waiting
    // thread takes them, and a PC/SC call is never interrupted by one.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) == 0) {
                std::lock_guard lock(HandlerMutex);
                if (Handler) {
                    Handler();
                }
            }
        }
    }).detach();
}

void Finished() {
    std::lock_guard lock(HandlerMutex);
    Handler = {};
}

} // namespace console

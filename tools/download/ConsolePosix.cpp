#include "Console.h"

#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace console {

bool ErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void OnStopRequest(std::function<void()> onStop) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Blocked here, inherited by every thread started later: only the waiting
    // thread takes them, and a PC/SC call is never interrupted by one.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals, onStop = std::move(onStop)] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) == 0) {
                onStop();
            }
        }
    }).detach();
}

void Finished() {}

} // namespace console

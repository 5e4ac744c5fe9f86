#include "Console.h"

#include <atomic>
#include <csignal>
#include <thread>
#include <unistd.h>

namespace console {

namespace {

// Set before the handler is installed and left alone while it is: the
// handler only reads it.
std::function<void()> Handler;
std::atomic<bool> Enabled{false};
// Handlers running now, on any thread: Finished() waits for them, so that
// none reaches what is destroyed after it.
std::atomic<int> Running{0};
// Stops asked so far: the first lets the download unwind, the second ends
// the program at once (the next start clears what it leaves).
std::atomic<int> Asked{0};

void OnSignal(int signal) {
    if (Enabled && ++Asked > 1) {
        _exit(128 + signal);
    }
    ++Running;
    if (Enabled) {
        Handler();
    }
    --Running;
}

void SetDisposition(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // pcsc-lite's own waits retry after a signal; a file write restarts.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

bool ErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

// A handler rather than a thread that waits for the signals: a single
// download then starts no thread at all.
void OnStopRequest(std::function<void()> onStop) {
    Handler = std::move(onStop);
    Enabled = true;
    SetDisposition(OnSignal);
}

void Finished() {
    SetDisposition(SIG_IGN);
    Enabled = false;
    while (Running != 0) {
        std::this_thread::yield();
    }
}

} // namespace console

#include "Console.h"

#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace console {

namespace {

// The handler is dropped before what it reaches is destroyed: an event during
// the program's end finds none.
std::mutex HandlerMutex;
std::function<void()> Handler;
std::atomic<bool> Done{false};
// Stops asked so far: the first lets the download unwind, a second Ctrl+C
// ends the program at once (the next start clears what it leaves).
std::atomic<int> Asked{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && !Done && ++Asked > 1) {
        ExitProcess(130);
    }
    {
        std::lock_guard lock(HandlerMutex);
        if (Handler) {
            Handler();
        }
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process once this returns: give the download time
        // to unwind first (the system allows about five seconds).
        for (int i = 0; i < 45 && !Done; ++i) {
            Sleep(100);
        }
    }
    return TRUE;
}

} // namespace

bool ErrorIsTerminal() {
    DWORD mode = 0;
    return _isatty(_fileno(stderr)) != 0 &&
           GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void OnStopRequest(std::function<void()> onStop) {
    {
        std::lock_guard lock(HandlerMutex);
        Handler = std::move(onStop);
    }
    // Windows runs the handler on a thread of its own.
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void Finished() {
    {
        std::lock_guard lock(HandlerMutex);
        Handler = {};
    }
    Done = true;
}

} // namespace console

// What dravik-download asks of the console: whether people watch its errors,
// and a stop asked by Ctrl+C, SIGTERM or closing the console.
#pragma once

#include <functional>

namespace console {

// Whether standard error is a terminal (a console on Windows), where a
// progress line helps; never in a pipe or a file.
bool ErrorIsTerminal();

// Runs `onStop` for the first SIGINT or SIGTERM (Ctrl+C, Ctrl+Break or the
// console closing on Windows); a second Ctrl+C or signal ends the program at
// once, with status 128 + the signal's number (130 on Windows). On Linux it runs inside the signal
// handler, on any thread: it may only set lock-free atomics. Call it before any other thread
// starts.
void OnStopRequest(std::function<void()> onStop);

// The program's work is done: no stop reaches the handler any more, and a
// console that is closing may end the program now.
void Finished();

} // namespace console

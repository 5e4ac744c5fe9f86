// What dravik-download asks of the console: whether people watch its errors,
// and a stop asked by Ctrl+C, SIGTERM or closing the console.
#pragma once

#include <functional>

namespace console {

// Whether standard error is a terminal (a console on Windows), where a
// progress line helps; never in a pipe or a file.
bool ErrorIsTerminal();

// Runs `onStop` on a thread of its own, not in a signal handler, for each
// SIGINT or SIGTERM (Ctrl+C, Ctrl+Break or the console closing on Windows).
// Call it before any other thread starts, so that all of them leave these
// signals to it.
void OnStopRequest(std::function<void()> onStop);

// The program's work is done: no stop reaches the handler any more, and a
// console that is closing may end the program now.
void Finished();

} // namespace console

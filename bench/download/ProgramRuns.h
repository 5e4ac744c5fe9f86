// Whole programs as the download benchmark runs them: timed from the start of
// the process to its end, and the virtual card they read.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct TProgramRun {
    int ExitCode = -1;  // -1 when it did not start or did not end normally
    double Ms = 0;      // wall time from spawning to the end of the process
    std::string Output; // what it wrote, where kept
};

// Runs `arguments` (the program first) with its standard output thrown away and
// waits for it. `environment` ("NAME=value") replaces or adds those variables
// of this process's environment for the program.
TProgramRun TimedRun(const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment = {});

// A program that runs until stopped (dravik-download --watch), timed from its
// start to the `lines`-th line of its standard output (Ms) and then ended by
// SIGTERM; -1 in Ms when its output ended first.
TProgramRun TimedLines(const std::vector<std::string>& arguments, int lines);

// What `arguments` writes to its standard output, untimed.
std::string OutputOf(const std::vector<std::string>& arguments);

// dravik-vcard serving the sample card (T=1) in vpcd's first reader, or with
// the options given (another port, refusals).
class TVirtualCard {
public:
    explicit TVirtualCard(std::string program, std::vector<std::string> options = {})
        : Program(std::move(program)), Options(std::move(options)) {}
    ~TVirtualCard() { Remove(); }
    TVirtualCard(const TVirtualCard&) = delete;
    TVirtualCard& operator=(const TVirtualCard&) = delete;

    // Starts it and waits until it reports the card inserted, then until pcscd
    // has powered the card up.
    bool Insert(std::string* error);
    // Stops it; the number of commands the card answered, or -1 when unknown.
    int Remove();

private:
    std::string Program;
    std::vector<std::string> Options;
    pid_t Pid = -1;
    int Output = -1;
};

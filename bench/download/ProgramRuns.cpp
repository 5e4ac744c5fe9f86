#include "ProgramRuns.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// pcscd reports a card present while it is still powering it up; a connection
// at that moment fails.
constexpr std::chrono::milliseconds kSettleTime{1000};

std::vector<char*> Argv(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

int ExitCodeOf(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Everything `fd` gives until `done` holds for it or the stream ends.
template <typename F> std::string ReadUntil(int fd, F done) {
    std::string text;
    char buffer[256];
    while (!done(text)) {
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// This process's environment with `changes` ("NAME=value") in place.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('=') + 1);
        bool replaced = false;
        for (const std::string& change : changes) {
            replaced = replaced || change.rfind(name, 0) == 0;
        }
        if (!replaced) {
            result.push_back(variable);
        }
    }
    result.insert(result.end(), changes.begin(), changes.end());
    return result;
}

} // namespace

TProgramRun TimedRun(const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv = Argv(arguments);
    const std::vector<std::string> variables = EnvironmentWith(environment);
    std::vector<char*> envp = Argv(variables);
    TProgramRun run;
    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(),
                                    environment.empty() ? environ : envp.data());
    if (spawned == 0) {
        run.ExitCode = ExitCodeOf(pid);
    }
    run.Ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

TProgramRun TimedLines(const std::vector<std::string>& arguments, int lines) {
    TProgramRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv = Argv(arguments);
    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned == 0) {
        run.Output = ReadUntil(fds[0], [lines](const std::string& text) {
            return std::count(text.begin(), text.end(), '\n') >= lines;
        });
        const bool all = std::count(run.Output.begin(), run.Output.end(), '\n') >= lines;
        run.Ms = all ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1;
        kill(pid, SIGTERM);
        run.ExitCode = ExitCodeOf(pid);
    }
    close(fds[0]);
    return run;
}

std::string OutputOf(const std::vector<std::string>& arguments) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv = Argv(arguments);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    const std::string text = ReadUntil(fds[0], [](const std::string&) { return false; });
    close(fds[0]);
    if (spawned == 0) {
        ExitCodeOf(pid);
    }
    return text;
}

bool TVirtualCard::Insert(std::string* error) {
    Remove();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<std::string> arguments{Program, "--protocol", "T1"};
    arguments.insert(arguments.end(), Options.begin(), Options.end());
    std::vector<char*> argv = Argv(arguments);
    const int spawned = posix_spawn(&Pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    Output = fds[0];
    if (spawned != 0) {
        Pid = -1;
        *error = "cannot start " + Program;
        return false;
    }
    const std::string said = ReadUntil(
        Output, [](const std::string& text) { return text.find('\n') != std::string::npos; });
    if (said.rfind("Card inserted", 0) != 0) {
        *error = "dravik-vcard did not insert the card: " + said;
        Remove();
        return false;
    }
    std::this_thread::sleep_for(kSettleTime);
    return true;
}

int TVirtualCard::Remove() {
    if (Pid <= 0) {
        return -1;
    }
    kill(Pid, SIGTERM);
    const std::string said = ReadUntil(Output, [](const std::string& text) {
        return text.find(" commands\n") != std::string::npos;
    });
    ExitCodeOf(Pid);
    close(Output);
    Pid = -1;
    Output = -1;
    int commands = -1;
    const std::size_t at = said.find("Card removed after ");
    if (at != std::string::npos) {
        std::sscanf(said.c_str() + at, "Card removed after %d commands", &commands);
    }
    return commands;
}

#include "Pcscd.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char kSocket[] = "/run/pcscd/pcscd.comm";

bool SocketAnswers() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", kSocket);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

// Where vpcd's own reader.conf entry says its library is.
std::string VpcdLibrary() {
    std::ifstream conf("/etc/reader.conf.d/vpcd");
    std::string word;
    while (conf >> word) {
        if (word == "LIBPATH" && conf >> word) {
            return word;
        }
    }
    return "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
}

} // namespace

std::string WriteVpcdConfig(const std::string& folder, int drivers, std::string* error) {
    namespace fs = std::filesystem;
    // pcscd reads every file of its configuration folder: the libraries lie beside it.
    const std::string config = folder + "/reader.conf.d";
    std::error_code failure;
    fs::create_directories(config, failure);
    fs::create_directories(folder + "/drivers", failure);
    const std::string library = VpcdLibrary();
    for (int driver = 0; driver < drivers && !failure; ++driver) {
        const std::string copy = folder + "/drivers/libifdvpcd-" + std::to_string(driver) + ".so";
        fs::copy_file(library, copy, fs::copy_options::overwrite_existing, failure);
        char port[16];
        std::snprintf(port, sizeof(port), "0x%04X", 35963 + kVpcdReadersPerDriver * driver);
        std::ofstream conf(config + "/vpcd-" + std::to_string(driver));
        // pcscd numbers readers of one name by library only: names of their own.
        const std::string name =
            driver == 0 ? std::string("Virtual PCD") : "Virtual PCD " + std::to_string(driver + 1);
        conf << "FRIENDLYNAME \"" << name << "\"\nDEVICENAME /dev/null:" << port << "\nLIBPATH "
             << copy << "\nCHANNELID " << port << '\n';
        if (!conf) {
            failure = std::make_error_code(std::errc::io_error);
        }
    }
    if (failure) {
        if (error != nullptr) {
            *error = "cannot write vpcd's configuration into " + folder + ": " + failure.message();
        }
        return {};
    }
    return config;
}

bool TPcscd::Start(std::string* error, const std::string& config) {
    Stop();
    unlink(kSocket);
    Pid = fork();
    if (Pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0 && getenv("DRAVIK_PCSCD_LOG") == nullptr) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        if (config.empty()) {
            execlp("pcscd", "pcscd", "--foreground", "--error", static_cast<char*>(nullptr));
        } else {
            execlp("pcscd", "pcscd", "--foreground", "--error", "--config", config.c_str(),
                   static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    if (Pid < 0) {
        if (error != nullptr) {
            *error = "fork failed";
        }
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (SocketAnswers()) {
            return true;
        }
        int status = 0;
        if (waitpid(Pid, &status, WNOHANG) == Pid) {
            Pid = -1;
            if (error != nullptr) {
                *error = "pcscd ended at once (is the test running in its own namespace, as root?)";
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (error != nullptr) {
        *error = "pcscd did not open its socket within 10 s";
    }
    Stop();
    return false;
}

void TPcscd::Stop() {
    if (Pid <= 0) {
        return;
    }
    kill(Pid, SIGTERM);
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(Pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(Pid, SIGKILL);
            waitpid(Pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Pid = -1;
    unlink(kSocket);
}

void TPcscd::Kill() {
    if (Pid <= 0) {
        return;
    }
    kill(Pid, SIGKILL);
    int status = 0;
    waitpid(Pid, &status, 0);
    Pid = -1;
    unlink(kSocket);
}

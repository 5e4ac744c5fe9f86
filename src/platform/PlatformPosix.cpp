// What the platform layer asks of a POSIX system (Linux).
#include "platform/Platform.h"

#include <cstdlib>
#include <limits.h>
#include <unistd.h>

namespace platform {

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return ".";
    }
    std::string full(path, static_cast<std::size_t>(length));
    const auto slash = full.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : full.substr(0, slash));
}

std::string EnvironmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::vector<std::string> Utf8Arguments(int argc, char* argv[]) {
    return std::vector<std::string>(argv, argv + argc);
}

void UseUtf8Console() {}

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

} // namespace platform

#include "PostgresServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char kBin[] = "/usr/lib/postgresql/15/bin/";
constexpr uid_t kNobody = 65534;

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// Runs `arguments` as the server's user; waits unless `wait` is false.
pid_t Spawn(const std::vector<std::string>& arguments, const std::string& log, bool wait,
            int* status = nullptr) {
    // The child's freopen would write out what the parent has not flushed yet.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!log.empty() && freopen(log.c_str(), "a", stdout) != nullptr) {
            dup2(STDOUT_FILENO, STDERR_FILENO);
        }
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(126);
        }
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (wait && pid > 0) {
        int result = 0;
        waitpid(pid, &result, 0);
        if (status != nullptr) {
            *status = result;
        }
    }
    return pid;
}

bool Run(const std::vector<std::string>& arguments, const std::string& log) {
    int status = 0;
    Spawn(arguments, log, true, &status);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Own(const std::string& path) {
    if (geteuid() == 0 && chown(path.c_str(), kNobody, kNobody) != 0) {
        std::perror("chown");
    }
}

std::string LogTail(const std::string& log) {
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

} // namespace

TPostgresServer::~TPostgresServer() {
    Stop();
    if (!FFolder.empty()) {
        std::error_code error;
        fs::remove_all(FFolder, error);
    }
}

std::string TPostgresServer::Url(const std::string& user, const std::string& database) const {
    return "postgresql://" + user + "@127.0.0.1:" + std::to_string(FPort) + "/" + database;
}

bool TPostgresServer::NewDatabase(const std::string& name) {
    return Run({std::string(kBin) + "createdb", "-h", FFolder, "-p", std::to_string(FPort), "-U",
                "dravik", name},
               FFolder + "/server.log");
}

bool TPostgresServer::Create(std::string* error) {
    char folder[] = "/tmp/dravik-pg-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        *error = "mkdtemp failed";
        return false;
    }
    FFolder = folder;
    Own(FFolder);
    chmod(FFolder.c_str(), 0700);
    FPort = FreePort();
    const std::string log = FFolder + "/server.log";
    std::ofstream(FFolder + "/password") << kPassword << '\n';
    Own(FFolder + "/password");
    if (!Run({std::string(kBin) + "initdb", "-D", FFolder + "/data", "-U", "dravik",
              "--pwfile=" + FFolder + "/password", "-E", "UTF8", "--no-sync"},
             log)) {
        *error = "initdb failed: " + LogTail(log);
        return false;
    }
    // First match wins: "tls" only over TLS, "dravik" only with its password.
    std::ofstream(FFolder + "/data/pg_hba.conf") << "local all all trust\n"
                                                    "hostssl all tls 127.0.0.1/32 trust\n"
                                                    "host all tls 127.0.0.1/32 reject\n"
                                                    "host all dravik 127.0.0.1/32 scram-sha-256\n"
                                                    "host all all 127.0.0.1/32 trust\n";
    if (!Run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
              "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
              FFolder + "/server.key", "-out", FFolder + "/server.crt"},
             log)) {
        *error = "openssl failed: " + LogTail(log);
        return false;
    }
    chmod((FFolder + "/server.key").c_str(), 0600);
    if (!Start(error)) {
        return false;
    }
    return Run({std::string(kBin) + "psql", "-q", "-h", FFolder, "-p", std::to_string(FPort), "-U",
                "dravik", "-d", "postgres", "-c", "CREATE DATABASE register", "-c",
                "CREATE ROLE depot LOGIN SUPERUSER", "-c", "CREATE ROLE tls LOGIN SUPERUSER"},
               log) ||
           (*error = "psql failed: " + LogTail(log), false);
}

bool TPostgresServer::Start(std::string* error) {
    const std::string log = FFolder + "/server.log";
    FPid = Spawn({std::string(kBin) + "postgres", "-D", FFolder + "/data", "-p",
                  std::to_string(FPort), "-k", FFolder, "-c", "listen_addresses=127.0.0.1", "-c",
                  "ssl=on", "-c", "ssl_cert_file=" + FFolder + "/server.crt", "-c",
                  "ssl_key_file=" + FFolder + "/server.key", "-c", "fsync=off"},
                 log, false);
    const std::string ping = "host=127.0.0.1 port=" + std::to_string(FPort) + " dbname=postgres";
    for (int i = 0; i < 200; ++i) {
        if (PQping(ping.c_str()) == PQPING_OK) {
            return true;
        }
        int status = 0;
        if (waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error = "the server did not start: " + LogTail(log);
    return false;
}

void TPostgresServer::Stop() {
    if (FPid > 0) {
        kill(FPid, SIGINT);
        waitpid(FPid, nullptr, 0);
        FPid = -1;
    }
}

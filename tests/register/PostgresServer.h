// A PostgreSQL 15 server of the test's own: initdb into a temporary folder,
// a free port on 127.0.0.1, TLS with a certificate made here, stopped and
// removed afterwards. Root may not run postgres: as root the server runs as
// `nobody`, which owns the data folder.
#pragma once

#include <string>
#include <sys/types.h>

class TPostgresServer {
public:
    TPostgresServer() = default;
    ~TPostgresServer();
    TPostgresServer(const TPostgresServer&) = delete;
    TPostgresServer& operator=(const TPostgresServer&) = delete;

    // Makes the cluster and starts it; false and `error` when it cannot.
    // Roles: "depot" (trusted over TCP), "dravik" (password kPassword only),
    // "tls" (trusted over TLS only). Database "register".
    bool Create(std::string* error);
    // Stops (a fast shutdown) and starts again on the same port and data.
    void Stop();
    bool Start(std::string* error);

    int Port() const { return FPort; }
    // postgresql://USER@127.0.0.1:PORT/DATABASE
    std::string Url(const std::string& user = "depot",
                    const std::string& database = "register") const;
    // A new empty database for one test; false when it cannot be made.
    bool NewDatabase(const std::string& name);
    // The server's certificate, which a client verifies it by.
    std::string Certificate() const { return FFolder + "/server.crt"; }
    const std::string& Folder() const { return FFolder; }

    static constexpr char kPassword[] = "s3cret-Pa55";

private:
    std::string FFolder;
    int FPort = 0;
    pid_t FPid = -1;
};

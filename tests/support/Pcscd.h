// Starts and stops a pcscd of the test's own. Run the test through
// tests/pcscd/in-namespace.sh so that it never touches the machine's pcscd.
#pragma once

#include <string>
#include <sys/types.h>

class TPcscd {
public:
    TPcscd() = default;
    ~TPcscd() { Stop(); }
    TPcscd(const TPcscd&) = delete;
    TPcscd& operator=(const TPcscd&) = delete;

    // Starts pcscd in the foreground and waits until its socket answers. A
    // non-empty `config` (a reader.conf file or a folder of them) takes the
    // place of /etc/reader.conf.d.
    bool Start(std::string* error = nullptr, const std::string& config = {});
    // Stops it and waits for its end; the socket is gone afterwards.
    void Stop();
    // Kills it at once (SIGKILL), as a crash would.
    void Kill();
    bool Running() const { return Pid > 0; }
    // The daemon's process id, -1 when it is not running.
    pid_t ProcessId() const { return Pid; }

private:
    pid_t Pid = -1;
};

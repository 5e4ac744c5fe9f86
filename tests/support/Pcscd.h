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

    // Starts pcscd in the foreground and waits until its socket answers.
    bool Start(std::string* error = nullptr);
    // Stops it and waits for its end; the socket is gone afterwards.
    void Stop();
    // Kills it at once (SIGKILL), as a crash would.
    void Kill();
    bool Running() const { return Pid > 0; }

private:
    pid_t Pid = -1;
};

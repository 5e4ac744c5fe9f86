// Starts and stops a pcscd of the test's own. Run the test through
// tests/pcscd/in-namespace.sh so that it never touches the machine's pcscd.
#pragma once

#include <string>
#include <sys/types.h>

// vpcd's two readers a driver, the first on port 35963 and the next one up.
constexpr int kVpcdReadersPerDriver = 2;

// Writes into `folder` a reader.conf folder for TPcscd::Start with `drivers`
// vpcd drivers and gives back its path (empty when it failed), the n-th (from 0) serving ports
// 35963 + 2n and the one after, its readers named "Virtual PCD" (as vpcd's own) and then "Virtual
// PCD 2", "Virtual PCD 3", ... Each driver is a copy of vpcd's library of its own: pcscd loads a
// library path once for all its entries, and vpcd keeps its readers in that
// library's globals by slot only, so that two entries of one library take
// each other's readers (cards then show in some runs and not in others).
std::string WriteVpcdConfig(const std::string& folder, int drivers, std::string* error = nullptr);

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

// The window's download and dravik-download's, each timed inside one process
// from the press of the read button to the answered closing message.
#pragma once

#include <string>
#include <vector>

struct TInProcessTimes {
    std::vector<double> WindowMs;  // BitBtn1->click() of an offscreen TMainForm
    std::vector<double> SessionMs; // BitBtn1Click() of a session with dravik-download's hooks
    std::string Error;             // empty when every download was read whole
};

// `warmUps` unmeasured downloads of each, then `rounds` measured ones, the two
// alternating. The files go to `folder`, as window.ddd and session.ddd.
TInProcessTimes TimeInProcess(int argc, char* argv[], const std::string& folder, int warmUps,
                              int rounds);

// The simulator's end of a pseudo-terminal pair. The other end, /dev/pts/N, is the serial port that
// the driver or a test opens.
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <string>

namespace zelhart::sim {

class PseudoTerminal {
public:
    // Creates the pair in raw mode. Returns an empty text or what failed.
    std::string Open();

    int masterFd() const { return master_.get(); }
    const std::string& portPath() const { return portPath_; }

    // True when nobody has the port open: the master then reports a hang-up. Right after Open the
    // port counts as closed (it has been opened and closed once, so that the hang-up shows).
    bool PortClosed() const;

private:
    platform::UniqueFd master_;
    std::string portPath_;
};

} // namespace zelhart::sim

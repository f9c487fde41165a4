#include "pseudo_terminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>

namespace zelhart::sim {

std::string PseudoTerminal::Open() {
    platform::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master) return std::string("posix_openpt: ") + std::strerror(errno);
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        return std::string("unlockpt: ") + std::strerror(errno);
    char name[128];
    if (::ptsname_r(master.get(), name, sizeof name) != 0) return std::string("ptsname: ") + std::strerror(errno);

    // Terminal settings made through the master apply to the port and stay while the pair lives:
    // raw, so that a client that forgets to set the mode still sees every byte unchanged.
    termios t{};
    if (::tcgetattr(master.get(), &t) != 0) return std::string("tcgetattr: ") + std::strerror(errno);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetspeed(&t, B1200);
    if (::tcsetattr(master.get(), TCSANOW, &t) != 0) return std::string("tcsetattr: ") + std::strerror(errno);

    // A port that has never been opened does not report a hang-up, and bytes written to it would
    // wait there for the first client. Opening and closing it once makes "closed" visible.
    platform::UniqueFd port(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!port) return std::string(name) + ": " + std::strerror(errno);
    port.reset();

    master_ = std::move(master);
    portPath_ = name;
    return {};
}

bool PseudoTerminal::PortClosed() const {
    pollfd p{master_.get(), POLLIN, 0};
    if (::poll(&p, 1, 0) < 0) return false;
    return (p.revents & POLLHUP) != 0;
}

} // namespace zelhart::sim

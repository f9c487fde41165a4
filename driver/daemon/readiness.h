// Telling whoever started the daemon that it serves requests: a descriptor given on the command line,
// systemd's NOTIFY_SOCKET, and the parent left behind by --background.
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <string>

namespace zelhart::hartdriver {

class Readiness {
  public:
    explicit Readiness(int readyFd) : readyFd_(readyFd) {}

    // Forks; the parent waits until the child is ready (exit status 0) or has failed (1) and never
    // returns. The child leaves the terminal's session and returns true. False when fork failed.
    bool DetachToBackground();

    // Requests are served on `socketPath`.
    void Ready(const std::string& socketPath);

  private:
    int readyFd_;
    platform::UniqueFd parent_; // the background parent's pipe
};

} // namespace zelhart::hartdriver

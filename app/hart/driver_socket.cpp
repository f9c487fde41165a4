#include "hart/driver_socket.h"

#include <zelhart/platform/iomgr_protocol.h>
#include <zelhart/platform/runtime_dir.h>
#include <zelhart/platform/unique_fd.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace zelhart::hart {

std::string DriverSocketPath() {
    return platform::RuntimeDir() + "/" + platform::iomgr::kSocketFileName;
}

int ProbeDriverSocket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) return ENAMETOOLONG;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    platform::UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!sock) return errno;
    while (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR) continue;
        // EAGAIN: its backlog is full, so it listens; EISCONN: connected during an interrupted call.
        return errno == EAGAIN || errno == EISCONN ? 0 : errno;
    }
    return 0;
}

} // namespace zelhart::hart

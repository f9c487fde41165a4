#include "hart/driver_socket.h"

#include <zelhart/platform/iomgr_protocol.h>
#include <zelhart/platform/iomgr_socket.h>
#include <zelhart/platform/socket_access.h>
#include <zelhart/platform/runtime_dir.h>
#include <zelhart/platform/unique_fd.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zelhart::hart {
namespace {

constexpr int kHelloWaitMs = 500;

} // namespace

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
    // The daemon tells a user outside its group so in its answer to the hello. Any other answer, or
    // none in time (a busy daemon), counts as listening: the open that follows finds out the rest.
    namespace iomgr = platform::iomgr;
    if (iomgr::SendPacket(sock.get(), iomgr::Encode(iomgr::HelloRecord{iomgr::kProtocolMagic, iomgr::kProtocolVersion, 0})) != 0)
        return 0;
    pollfd p{sock.get(), POLLIN, 0};
    if (::poll(&p, 1, kHelloWaitMs) != 1) return 0;
    std::vector<uint8_t> buffer(iomgr::kMaxMessageSize + 1);
    size_t length = 0;
    iomgr::Message reply;
    if (iomgr::ReceivePacket(sock.get(), buffer, &length, nullptr) == iomgr::ReceiveResult::Packet &&
        iomgr::Decode(std::span(buffer.data(), length), iomgr::Sender::Daemon, &reply) == iomgr::DecodeError::None &&
        reply.type() == iomgr::MessageType::HelloReply &&
        std::get<iomgr::HelloReplyRecord>(reply.record).status == STATUS_PRIVILEGE_NOT_HELD)
        return EACCES;
    return 0;
}

std::string DriverSocketGroup(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) ||
        (st.st_mode & S_IRWXO))
        return platform::kDefaultDaemonGroup;
    return platform::GroupName(st.st_gid);
}

} // namespace zelhart::hart

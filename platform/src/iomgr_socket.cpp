#include "zelhart/platform/iomgr_socket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace zelhart::platform::iomgr {

ReceiveResult ReceivePacket(int sock, std::span<uint8_t> buffer, size_t* length, UniqueFd* passedFd) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReceiveResult::Again;
        return ReceiveResult::Failed;
    }
    // Collect every descriptor first, so that none leaks whatever the verdict.
    int fdCount = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (fdCount++ == 0 && passedFd)
                passedFd->reset(fd);
            else
                ::close(fd);
        }
    }
    if (n == 0 && fdCount == 0) return ReceiveResult::Closed;
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || fdCount > 1) {
        if (passedFd) passedFd->reset();
        return ReceiveResult::Malformed;
    }
    *length = static_cast<size_t>(n);
    return ReceiveResult::Packet;
}

int SendPacket(int sock, std::span<const uint8_t> packet, int fdToPass) {
    iovec iov{const_cast<uint8_t*>(packet.data()), packet.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (fdToPass >= 0) {
        std::memset(control, 0, sizeof(control));
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fdToPass, sizeof(int));
    }
    for (;;) {
        ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<size_t>(n) == packet.size() ? 0 : EMSGSIZE;
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? EAGAIN : errno;
    }
}

} // namespace zelhart::platform::iomgr

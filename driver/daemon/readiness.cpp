#include "readiness.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelhart::hartdriver {
namespace {

void WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void NotifySystemd() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t length = std::strlen(path);
    if (length >= sizeof(addr.sun_path)) return;
    std::memcpy(addr.sun_path, path, length);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0'; // an abstract socket
    platform::UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return;
    static const char kReady[] = "READY=1";
    ::sendto(sock.get(), kReady, sizeof(kReady) - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
}

} // namespace

bool Readiness::DetachToBackground() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(p[0]);
        ::close(p[1]);
        return false;
    }
    if (pid > 0) {
        ::close(p[1]);
        char c;
        ssize_t n;
        do
            n = ::read(p[0], &c, 1);
        while (n < 0 && errno == EINTR);
        ::_exit(n == 1 ? 0 : 1); // the child said it is ready, or ended without saying so
    }
    ::close(p[0]);
    parent_.reset(p[1]);
    ::setsid();
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::close(null);
    }
    return true;
}

void Readiness::Ready(const std::string& socketPath) {
    if (readyFd_ >= 0) {
        WriteAll(readyFd_, socketPath + "\n");
        ::close(readyFd_);
        readyFd_ = -1;
    }
    NotifySystemd();
    if (parent_) {
        WriteAll(parent_.get(), "1");
        parent_.reset();
    }
}

} // namespace zelhart::hartdriver

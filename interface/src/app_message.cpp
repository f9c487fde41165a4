#include "app_message.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zelhart::hartif {
namespace {

// Keeps a SIGPIPE raised by a write on this thread from reaching the process, and swallows it.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeGuard() {
        if (!wasPending_) {
            timespec zero{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_{}, old_{};
    bool wasPending_ = false;
};

ssize_t WriteWithoutBlocking(int fd, const void* data, size_t size) {
    ssize_t n = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0 || errno != ENOTSOCK) return n;
    // A pipe or FIFO: write only when it has room now (a write of 12 bytes is atomic on a pipe).
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLOUT)) {
        errno = EAGAIN;
        return -1;
    }
    SigpipeGuard guard;
    return ::write(fd, data, size);
}

} // namespace

bool PostAppMessage(const AppRegistryInfo& reg) {
    if (reg.hWnd <= 0) return false;
    unsigned char message[12];
    std::memcpy(message, &reg.Msg, 4);
    std::memcpy(message + 4, &reg.wParam, 4);
    std::memcpy(message + 8, &reg.lParam, 4);
    ssize_t n;
    do n = WriteWithoutBlocking(reg.hWnd, message, sizeof(message));
    while (n < 0 && errno == EINTR);
    return n == ssize_t(sizeof(message));
}

} // namespace zelhart::hartif

// Counts the opens of one file (inotify IN_OPEN): proves that code under test never opens a port's
// device node, whoever's process it runs in.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

namespace zelhart::testing {

class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0) std::abort();
    }
    ~OpenWatch() { ::close(fd_); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    // Opens since construction or the last call.
    int Opens() {
        int count = 0;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return count;
            for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                if (ev->mask & IN_OPEN) ++count;
                off += ssize_t(sizeof(inotify_event)) + ev->len;
            }
        }
    }

private:
    int fd_;
};

} // namespace zelhart::testing

#include "control_fifo.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::sim {

ControlFifo::~ControlFifo() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

std::string ControlFifo::Open(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) return path + ": exists and is not a FIFO";
        ::unlink(path.c_str());
    }
    if (::mkfifo(path.c_str(), 0600) != 0) return path + ": " + std::strerror(errno);
    path_ = path;
    read_.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!read_) return path + ": " + std::strerror(errno);
    keepOpen_.reset(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!keepOpen_) return path + ": " + std::strerror(errno);
    return {};
}

void ControlFifo::Read(const std::function<void(std::string_view)>& onLine,
                       const std::function<void(std::string_view)>& onError) {
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(read_.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
            char c = buf[i];
            if (c == '\n') {
                if (!skipping_) onLine(pending_);
                pending_.clear();
                skipping_ = false;
            } else if (!skipping_) {
                pending_.push_back(c);
                if (pending_.size() > kMaxLine) {
                    onError("control line longer than 256 characters ignored");
                    pending_.clear();
                    skipping_ = true;
                }
            }
        }
    }
}

} // namespace zelhart::sim

#include "zelhart/platform/socket_watcher.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::platform {
namespace {

constexpr uint32_t kMask = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string Parent(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

FileAppearanceWatcher::FileAppearanceWatcher(std::string path) : path_(std::move(path)) {
    dir_ = Parent(path_);
    auto slash = path_.find_last_of('/');
    name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

int FileAppearanceWatcher::Start() {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return errno;
    inotify_.reset(fd);
    wd_ = -1;
    watched_.clear();
    UpdateWatch();
    return 0;
}

bool FileAppearanceWatcher::UpdateWatch() {
    std::string target = dir_;
    for (int depth = 0; depth < 64 && !IsDir(target) && target != "/" && target != "."; ++depth)
        target = Parent(target);
    if (wd_ >= 0 && target == watched_) return false;
    if (wd_ >= 0) ::inotify_rm_watch(inotify_.get(), wd_);
    wd_ = ::inotify_add_watch(inotify_.get(), target.c_str(), kMask);
    watched_ = wd_ >= 0 ? target : std::string();
    return wd_ >= 0 && target == dir_;
}

bool FileAppearanceWatcher::ReadEvents() {
    if (!inotify_) return false;
    bool created = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = ::read(inotify_.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // EAGAIN: drained
        for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            if (ev->wd == wd_) {
                if (ev->mask & IN_IGNORED) wd_ = -1; // the directory went: watch again below
                if ((ev->mask & (IN_CREATE | IN_MOVED_TO)) && watched_ == dir_ && ev->len > 0 &&
                    std::strcmp(ev->name, name_.c_str()) == 0)
                    created = true;
            }
            off += ssize_t(sizeof(inotify_event)) + ev->len;
        }
    }
    // A directory on the way to the file may have been made (or the file's own one removed).
    if (UpdateWatch()) created = true;
    return created && Exists(path_);
}

} // namespace zelhart::platform

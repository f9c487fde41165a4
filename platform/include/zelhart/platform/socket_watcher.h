// A file being created, or created again, at a path: how clients notice the driver daemon's socket
// appear when the daemon starts (or starts again) after them.
//
// inotify on the file's directory or, while that directory does not exist, on its nearest existing
// ancestor, so that the directory's creation is noticed too. Like PortWatcher it owns no thread: the
// owner polls fd() and then calls ReadEvents().
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <string>

namespace zelhart::platform {

class FileAppearanceWatcher {
public:
    explicit FileAppearanceWatcher(std::string path);
    FileAppearanceWatcher(FileAppearanceWatcher&&) noexcept = default;
    FileAppearanceWatcher& operator=(FileAppearanceWatcher&&) noexcept = default;

    // Creates the inotify instance and the watch. Returns 0 or an errno value. A file there already
    // is not reported.
    int Start();

    // Readable (POLLIN) when the watched directory changed; -1 before Start().
    int fd() const { return inotify_.get(); }

    // Drains the pending events without blocking; true when the file was created (bound, moved in)
    // since the last call, or its directory appeared with the file in it, and it exists now.
    bool ReadEvents();

    const std::string& path() const { return path_; }

private:
    // Watches the file's directory, or its nearest existing ancestor; true when the file's own
    // directory has just become the watched one.
    bool UpdateWatch();

    std::string path_, dir_, name_;
    UniqueFd inotify_;
    int wd_ = -1;
    std::string watched_;
};

} // namespace zelhart::platform

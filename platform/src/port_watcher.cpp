#include "zelhart/platform/port_watcher.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::platform {
namespace {

// Enough for the few directories the map is made from; a map pointing into more distinct directories
// than this still works, its extra directories are only not watched.
constexpr size_t kMaxWatches = 64;

// Directory contents changing, or the directory itself going away. Deliberately not IN_MODIFY,
// IN_ATTRIB or IN_CLOSE_WRITE on device directories: every close of a terminal in /dev would wake us.
constexpr uint32_t kDirMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The static port list is edited in place as well.
constexpr uint32_t kConfDirMask = kDirMask | IN_CLOSE_WRITE;

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Parent(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int ComNumber(const std::string& name) { return ParseComName(name).value_or(INT_MAX); }

void SortByComNumber(std::vector<PortEvent>& events) {
    std::stable_sort(events.begin(), events.end(),
                     [](const PortEvent& a, const PortEvent& b) { return ComNumber(a.comName) < ComNumber(b.comName); });
}

std::map<std::string, std::string> ReadPicture(const SerialPortMapSources& sources) {
    std::map<std::string, std::string> picture;
    for (auto& e : ReadSerialPortMap(sources)) picture.emplace(e.comName, e.devicePath);
    return picture;
}

} // namespace

std::vector<PortEvent> DiffPortMaps(const std::map<std::string, std::string>& before,
                                    const std::map<std::string, std::string>& after) {
    std::vector<PortEvent> removals, arrivals;
    for (const auto& [com, path] : before) {
        auto it = after.find(com);
        if (it == after.end() || it->second != path) removals.push_back({PortEvent::Kind::Removal, com, path});
    }
    for (const auto& [com, path] : after) {
        auto it = before.find(com);
        if (it == before.end() || it->second != path) arrivals.push_back({PortEvent::Kind::Arrival, com, path});
    }
    SortByComNumber(removals);
    SortByComNumber(arrivals);
    removals.insert(removals.end(), arrivals.begin(), arrivals.end());
    return removals;
}

PortWatcher::PortWatcher(SerialPortMapSources sources) : sources_(std::move(sources)) {}

int PortWatcher::Start() {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return errno;
    inotify_.reset(fd);
    watches_.clear();
    current_.clear();
    UpdateWatches(); // watch first, then look: a change in between is then seen by the next read
    current_ = ReadPicture(sources_);
    if (UpdateWatches()) current_ = ReadPicture(sources_);
    return 0;
}

bool PortWatcher::AddWatch(const std::string& dir) {
    if (dir.empty() || !inotify_) return false;
    for (const auto& [wd, watched] : watches_)
        if (watched == dir) return false;
    if (watches_.size() >= kMaxWatches) return false;
    uint32_t mask = (!sources_.portsConf.empty() && dir == Parent(sources_.portsConf)) ? kConfDirMask : kDirMask;
    int wd = ::inotify_add_watch(inotify_.get(), dir.c_str(), mask | IN_MASK_ADD);
    if (wd < 0) return false;
    bool added = watches_.find(wd) == watches_.end();
    watches_[wd] = dir;
    return added;
}

// A directory that does not exist yet is watched through its nearest existing ancestor, which sees
// it being made; the next update then watches the directory itself.
bool PortWatcher::WatchOrAncestor(const std::string& dir) {
    if (dir.empty()) return false;
    std::string existing = dir;
    for (int depth = 0; depth < 64 && !existing.empty() && !IsDir(existing); ++depth) existing = Parent(existing);
    return AddWatch(existing);
}

bool PortWatcher::UpdateWatches() {
    bool added = false;
    // A chain of directories made at once (udev's /dev/serial/by-id) is watched link by link.
    for (int round = 0; round < 8; ++round) {
        bool more = WatchOrAncestor(sources_.portsDir);
        if (!sources_.devDir.empty()) more |= AddWatch(sources_.devDir);
        if (!sources_.portsConf.empty()) {
            more |= AddWatch(Parent(sources_.portsConf));
            // Where the static file's devices will appear: a by-id link comes after its device node.
            for (const auto& path : StaticPortPaths(sources_.portsConf)) more |= WatchOrAncestor(Parent(path));
        }
        for (const auto& [com, path] : current_) more |= AddWatch(Parent(path));
        if (!more) break;
        added = true;
    }
    return added;
}

std::vector<PortEvent> PortWatcher::ReadEvents() {
    if (!inotify_) return {};
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = ::read(inotify_.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // EAGAIN: drained
        for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            if (ev->mask & IN_IGNORED) watches_.erase(ev->wd);
            off += ssize_t(sizeof(inotify_event)) + ev->len;
        }
    }
    // New watches before the new look, and once more for directories the new picture points into, so
    // that nothing changing in between goes unseen.
    UpdateWatches();
    auto events = Rescan();
    if (UpdateWatches()) {
        auto more = Rescan();
        events.insert(events.end(), more.begin(), more.end());
    }
    return events;
}

std::vector<PortEvent> PortWatcher::Rescan() {
    auto next = ReadPicture(sources_);
    auto events = DiffPortMaps(current_, next);
    current_ = std::move(next);
    return events;
}

bool PortWatcher::Wait(int timeoutMs) const {
    if (!inotify_) return false;
    pollfd p{inotify_.get(), POLLIN, 0};
    int r;
    do r = ::poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & POLLIN);
}

} // namespace zelhart::platform

// Serial port arrival and removal, as COM names.
//
// The watcher keeps the serial port map it saw last and, whenever inotify reports a change in one of
// the directories the map is made from, reads the map again and reports the difference: a COM name
// that appeared is an arrival, one that disappeared (a removed link, a device node that went away, a
// link whose target vanished) is a removal, and a COM name that now points at another device is a
// removal followed by an arrival.
//
// Watched directories: the ports directory of explicit links, the device directory, the directory of
// the static port list, the directories where the static list's devices live (a /dev/serial/by-id
// link appears after its device node, and udev makes the directory itself with the first link), and
// the directories holding the targets of the current entries (so that a pseudo-terminal closing under
// /dev/pts counts as the removal of its COM name). A directory that does not exist yet is watched
// through its nearest existing ancestor, so that its creation is noticed.
//
// The watcher owns no thread: its descriptor is polled by the owner, who then calls ReadEvents().
#pragma once

#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/unique_fd.h"

#include <map>
#include <string>
#include <vector>

namespace zelhart::platform {

struct PortEvent {
    enum class Kind { Arrival, Removal };
    Kind kind = Kind::Arrival;
    std::string comName;    // "COM3"
    std::string devicePath; // the device behind it (for a removal: the one it had)

    bool operator==(const PortEvent&) const = default;
};

class PortWatcher {
public:
    explicit PortWatcher(SerialPortMapSources sources);
    PortWatcher(PortWatcher&&) noexcept = default;
    PortWatcher& operator=(PortWatcher&&) noexcept = default;
    ~PortWatcher() = default;

    // Creates the inotify instance, adds the watches and takes the first picture of the map (ports
    // present now are not reported). Returns 0 or an errno value.
    int Start();

    // Readable (POLLIN) when a watched directory changed; -1 before Start().
    int fd() const { return inotify_.get(); }

    // Drains the pending inotify events (without blocking), reads the map again and returns what
    // changed since the last picture: removals first, then arrivals, each in COM number order.
    std::vector<PortEvent> ReadEvents();

    // Reads the map again and returns the difference without looking at inotify.
    std::vector<PortEvent> Rescan();

    // Waits up to timeoutMs for the descriptor to become readable; true when it did.
    bool Wait(int timeoutMs) const;

    // COM name -> device path of the last picture.
    const std::map<std::string, std::string>& Current() const { return current_; }

private:
    // Both return true when a directory was newly watched.
    bool UpdateWatches();
    bool AddWatch(const std::string& dir);
    bool WatchOrAncestor(const std::string& dir);

    SerialPortMapSources sources_;
    UniqueFd inotify_;
    std::map<int, std::string> watches_; // watch descriptor -> directory
    std::map<std::string, std::string> current_;
};

// The difference between two pictures of the map (COM name -> device path), as PortWatcher reports it.
std::vector<PortEvent> DiffPortMaps(const std::map<std::string, std::string>& before,
                                    const std::map<std::string, std::string>& after);

} // namespace zelhart::platform

// Who may use the driver daemon's socket, and the group that owns the runtime directory's shared parts.
//
// The installed daemon serves one group (`zelhart` unless configured otherwise): its socket is
// <owner>:<group> mode 0660, and each connecting process is checked once more by its credentials
// (SO_PEERCRED and its supplementary groups), so that a socket whose mode was widened by hand does not
// open the transmitters to everybody. The rule, for a peer process:
//
//   peer uid 0 (root)                                   may connect
//   the group exists and the daemon could give it the socket
//                                                       may connect when its primary or one of its
//                                                       supplementary groups is that group
//   no such group (a daemon started by hand for development)
//                                                       may connect when it runs as the daemon's user
//   the socket's mode grants "others" (0666, on request) anybody may connect
//
// A peer that may not is answered, instead of with a hello, with STATUS_PRIVILEGE_NOT_HELD, and the
// connection ends; the programs tell their user that they are not in the group.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace zelhart::platform {

inline constexpr char kDefaultDaemonGroup[] = "zelhart";
inline constexpr unsigned kDefaultSocketMode = 0660;

struct SocketAccessRule {
    bool everybody = false;      // the mode grants others: no check
    std::optional<gid_t> group;  // the serving group; none: only the owner (and root)
    uid_t owner = 0;             // the daemon's user
};

// The rule above; pure.
bool PeerMayConnect(const SocketAccessRule& rule, uid_t peerUid, gid_t peerGid, std::span<const gid_t> peerGroups);

// The numbers of the "Groups:" line of a /proc/<pid>/status text; empty when there is none.
std::vector<gid_t> ParseStatusGroups(std::string_view statusText);

// The supplementary groups of the process at the other end of a connected Unix socket: SO_PEERGROUPS,
// or, on a kernel without it, the Groups line of /proc/<pid>/status. Empty when neither can be read.
std::vector<gid_t> PeerGroups(int sock, pid_t pid);

// The group's number, or nothing when the system has no such group.
std::optional<gid_t> LookupGroup(const std::string& name);
// The group's name, or its number as text.
std::string GroupName(gid_t gid);

// Makes `path` belong to `group` with `mode` (the owner stays). An empty text, or what failed, with
// the path and the system's reason.
std::string GiveToGroup(const std::string& path, gid_t group, unsigned mode);

} // namespace zelhart::platform

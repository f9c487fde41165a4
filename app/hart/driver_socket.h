// Is the driver daemon there? The interface library reaches ZelHartDriver through one Unix socket in
// the runtime directory; when nothing listens there, every device the library opens is absent and
// every exchange would only time out. One connect tells it at once.
#pragma once

#include <string>

namespace zelhart::hart {

// <runtime dir>/zelhart.sock, where the daemon listens.
std::string DriverSocketPath();

// Connects to `path`, says hello and hangs up: 0 when something listens there (also when it is too
// busy to take the connection or to answer just now), else the errno of the failed connect (ENOENT:
// no socket; ECONNREFUSED: a socket nobody listens at any more; EACCES; ENAMETOOLONG), or EACCES when
// the daemon answers that this user is not in its group.
int ProbeDriverSocket(const std::string& path);

// The group that may use the daemon at `path`: the socket's group when the socket is for its group
// (read and write for the group, nothing for others), else the default one (zelhart).
std::string DriverSocketGroup(const std::string& path);

} // namespace zelhart::hart

// Where the running system keeps its socket and serial port map, and where configuration lives.
#pragma once

#include <string>

namespace zelhart::platform {

// $ZELHART_RUNTIME_DIR when set; else /run/zelhart when it is (or can be made) writable;
// else $XDG_RUNTIME_DIR/zelhart; else /tmp/zelhart-<uid>. The directory is not created here.
std::string RuntimeDir();

// $ZELHART_CONFIG_DIR when set, else /etc/zelhart.
std::string ConfigDir();

// <runtime dir>/ports: the symbolic links COM<n> -> device path.
std::string PortsDir();

// Creates the directory and its parents (mode 0755); true when it exists afterwards.
bool MakeDirs(const std::string& path);

} // namespace zelhart::platform

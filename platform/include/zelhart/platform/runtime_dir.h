// Where the running system keeps its socket and serial port map, and where configuration lives.
#pragma once

#include <string>

namespace zelhart::platform {

// Who asks. The installed daemon owns /run/zelhart (0755, its own user): clients look there whenever
// it exists, even though they cannot write to it; only the daemon may create it.
enum class RuntimeRole { kClient, kDaemon };

// What the rule looks at, so that it can be tested without the machine's own /run.
struct RuntimeDirInputs {
    std::string zelhartRuntimeDir; // $ZELHART_RUNTIME_DIR ("" when unset)
    std::string xdgRuntimeDir;     // $XDG_RUNTIME_DIR ("" when unset)
    std::string runRoot = "/run";  // the system's runtime root; <runRoot>/zelhart is the installed one
    unsigned uid = 0;              // for /tmp/zelhart-<uid>
};

// The inputs of this process: its environment, /run and its user id.
RuntimeDirInputs CurrentRuntimeDirInputs();

// $ZELHART_RUNTIME_DIR when set; else <runRoot>/zelhart when it exists (client), or when it exists or
// can be created (daemon: <runRoot> is writable); else $XDG_RUNTIME_DIR/zelhart; else
// /tmp/zelhart-<uid>. The directory is not created here.
std::string ChooseRuntimeDir(RuntimeRole role, const RuntimeDirInputs& inputs);

// The rule with this process's inputs. Clients (the library, the program, the tools) use the default.
std::string RuntimeDir(RuntimeRole role = RuntimeRole::kClient);

// $ZELHART_CONFIG_DIR when set, else /etc/zelhart.
std::string ConfigDir();

// <runtime dir>/ports: the symbolic links COM<n> -> device path (the client's runtime directory).
std::string PortsDir();

// Creates the directory and its parents (mode 0755); true when it exists afterwards.
bool MakeDirs(const std::string& path);

} // namespace zelhart::platform

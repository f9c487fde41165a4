// The serial port map: which device path is which COM port.
//
// COM names are the product's names for serial ports. The map is recomputed at every look-up as the
// union of three sources, earlier ones winning when two claim the same COM name or the same device:
//   1. explicit entries: symbolic links <runtime dir>/ports/COM<n> -> device path (simulators, tests,
//      administrators); a link whose target is gone counts as absent;
//   2. the static file <config dir>/ports.conf, lines "COM3=/dev/serial/by-id/..." (a line
//      "COM250=hartip://..." makes a remote port instead: no entry here, see remote_port.h);
//   3. real ports found in /dev: ttyS<k> -> COM<k+1> (only with hardware behind them),
//      ttyUSB<k> -> COM<k+33>, ttyACM<k> -> COM<k+65>.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::platform {

struct SerialPortEntry {
    enum class Source { Explicit, Static, Automatic };
    std::string devicePath; // what is opened: "/dev/pts/7", "/dev/ttyUSB0"
    std::string comName;    // "COM3"
    int number = 0;         // 3
    Source source = Source::Automatic;
};

struct SerialPortMapSources {
    std::string portsDir;    // explicit links; empty: none
    std::string portsConf;   // static file; empty: none
    std::string devDir;      // directory scanned for real ports; empty: none
    std::string sysTtyDir;   // sysfs tty class directory, tells real ttyS ports from empty ones
};

inline constexpr int kMaxComNumber = 4096;

// The sources of the running system (runtime and config directories, /dev, /sys/class/tty).
SerialPortMapSources DefaultSerialPortMapSources();

// "COM12" -> 12 (also "com12"); nothing for anything else or a number outside 1..kMaxComNumber.
std::optional<int> ParseComName(std::string_view name);

// The device paths the static file names (a /dev/serial/by-id link of a USB adapter, say), also
// those that do not exist at the moment: the port watcher watches where they will appear.
std::vector<std::string> StaticPortPaths(const std::string& confPath);

// All ports, ordered by COM number.
std::vector<SerialPortEntry> ReadSerialPortMap(const SerialPortMapSources& sources);
std::vector<SerialPortEntry> ReadSerialPortMap();

// The device path of COM<number>, if the map has it.
std::optional<std::string> LookupComPort(int number, const SerialPortMapSources& sources);
std::optional<std::string> LookupComPort(int number);

// The COM name of a device path (compared after resolving symbolic links), if the map has it.
std::optional<std::string> ComNameForPath(const std::string& devicePath, const SerialPortMapSources& sources);

// Simulated ports (the simulator, tests, the demo) take COM numbers from this range, above the
// automatic numbers of the first 32 ports of each kind; the program keeps only the low byte of a
// port number, so the range ends at 255.
inline constexpr int kFirstSimulatorComNumber = 201;
inline constexpr int kLastSimulatorComNumber = 255;

// The lowest COM number of the simulators' range that no port of the map has now (explicit links,
// the static file, real ports), or 0 when all are taken. A simulator registered on it never stands
// in for a real port, so nothing moves to a real UART when the simulator goes away.
int FreeComNumber(const SerialPortMapSources& sources);

// Registers `target` on the first number FreeComNumber would give, creating the link only where
// none is (two simulators starting at once on one runtime directory take different numbers).
// Returns 0 and the number, or an errno value (EBUSY: the range is full).
int RegisterFreeComPort(const SerialPortMapSources& sources, const std::string& target, int* number);

// Whether the entry is a simulated port: an explicit link to a pseudo-terminal.
bool IsSimulatedPort(const SerialPortEntry& entry);

// Creates <ports dir>/COM<number> -> target, replacing an existing link. Returns 0 or an errno value.
int RegisterComPort(const std::string& portsDir, int number, const std::string& target);
// Removes the link; 0, or an errno value (ENOENT when there was none).
int UnregisterComPort(const std::string& portsDir, int number);

} // namespace zelhart::platform

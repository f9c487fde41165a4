// What the driver daemon learnt of a port's modem-control lines, for the programs that never open the
// port themselves (the port dialog, the link's messages).
//
// When the daemon opens a real port (not a pseudo-terminal) that refuses the modem-line calls, DTR and
// RTS cannot be driven there: a modem that keys its transmitter by RTS never sends. The daemon then
// leaves a record <runtime dir>/nolines/COM<n>, a symbolic link to the device it opened, and removes it
// when the port, opened again, has its lines. A record counts only while the port map still gives
// COM<n> that device: a COM name moved to another device says nothing of the new one.
#pragma once

#include <string>

namespace zelhart::platform {

// <runtime dir>/nolines (the client's runtime directory).
std::string ModemLinesDir();

// Leaves (`missing`) or removes the record of COM<number> -> `devicePath` in `dir`. 0 or an errno value.
int RecordModemLines(const std::string& dir, int number, const std::string& devicePath, bool missing);
// Whether `dir` has a record of COM<number> for `devicePath`.
bool LacksModemLines(const std::string& dir, int number, const std::string& devicePath);
// Removes every record (the daemon at its start: what it learnt before may no longer be true).
void ForgetModemLines(const std::string& dir);

} // namespace zelhart::platform

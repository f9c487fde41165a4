// HART devices of remote ports: COM numbers that the port map gives to a HART-IP server are served
// over a HART-IP session instead of the driver daemon, behind the same device calls, so that the
// controller, its records and its events work as for a local port.
//
// A HART device of a remote port (file HartIpDeviceFile):
//   open          connects and initiates a session as a secondary master (TLS-PSK after the initiate
//                 when the endpoint has a key); a server that cannot be reached or refuses the session
//                 makes the device absent, as a port without a modem is
//   write         the frame without its preambles as a token-passing PDU; returns with the response:
//                 an answer frame goes to the pending read (one whose check fails as ERROR_CRC, as the
//                 driver delivers a damaged frame); the status "no response" fails the write as the
//                 driver's time-out does, "busy" with ERROR_BUSY, "damaged response" both ways, a
//                 refused frame with ERROR_INVALID_PARAMETER
//   set protocol  remembered; a master type other than the session's makes the next write start a new
//                 session with it. Retries are the server's: remembered and reported back only
//   read mask     remembered; published (burst) frames reach the read when it asks for burst frames;
//                 frames of other masters never do (the server does not forward them)
//   lost          a closed connection, a session closed by the server, a response that does not come
//                 in time, "port unavailable" or "no session": the pending read ends with
//                 ERROR_OPERATION_ABORTED (the controller then takes the device for removed, as a port
//                 that went away) and later writes fail; the next hart_open starts a new session
//   idle          a keep-alive at a third of the inactivity time the server granted
//   close         a session close, then the connection is shut
// One thread per device does all the socket's work (a TLS connection is not to be used from two).
#pragma once

#include "device_io.h"
#include "hartip_connection.h"

#include "zelhart/platform/serial_port_map.h"

#include <memory>
#include <optional>
#include <string>

namespace zelhart::hartif {

// Opens a HART device over a HART-IP session (the file described above).
Win32Error OpenHartIpDevice(const platform::RemoteEndpoint& endpoint, const HartIpTimings& timings,
                            std::unique_ptr<IDeviceFile>* file);

// The COM number a HART device path names ("\\.\{GUID}_HART300" -> 300), if it names one.
std::optional<int> HartDevicePortNumber(const std::string& path);

// Device I/O that opens the HART devices of remote ports over HART-IP and hands everything else to
// `local`. The port map is read at every open, the timings in force at every open are used.
std::shared_ptr<IDeviceIo> MakeRemotePortDeviceIo(std::shared_ptr<IDeviceIo> local,
                                                  platform::SerialPortMapSources sources);

// The timings of the sessions opened from now on (the defaults of HartIpTimings unless changed; tests
// shorten them).
HartIpTimings CurrentHartIpTimings();
void SetHartIpTimings(const HartIpTimings& timings);

} // namespace zelhart::hartif

// Remote ports: a COM number of the port map served by a HART-IP server instead of a local modem.
//
// A line of <config dir>/ports.conf maps the COM name to the server's endpoint:
//
//   COM300=hartip://cabinet-1:5094
//   COM301=hartip+udp://192.0.2.7
//   COM302=hartip+tcp://[fd00::7]:5095?psk-identity=desk1&psk-file=/etc/zelhart/desk1.key
//
//   scheme   hartip (TCP), hartip+tcp, hartip+udp
//   host     a name or an IPv4 address (letters, digits, '-', '.', '_'), or an IPv6 address in brackets
//   port     1..65535, 5094 when left out
//   query    psk-identity=ID&psk-file=PATH, both or neither: a secured session (version 2, TLS-PSK over
//            TCP). ID: 1..128 printable characters without spaces, '&' or '='. PATH: absolute.
//
// The key file holds the key in hexadecimal, either alone on a line or as "identity:hexkey" lines
// (the line of the session's identity is taken; '#' begins a comment line). It must be a regular file
// that other users can neither read nor write: a key anyone may read is refused.
//
// A remote line claims its COM number in the map as a device line would: an explicit link in the
// ports directory still wins over it, and it wins over a real port found in /dev.
#pragma once

#include "zelhart/platform/serial_port_map.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::platform {

struct RemoteEndpoint {
    enum class Transport { Tcp, Udp };
    Transport transport = Transport::Tcp;
    std::string host; // without brackets
    uint16_t port = 5094;
    std::string pskIdentity; // empty: a plain session (version 1)
    std::string pskFile;

    bool Secured() const { return !pskIdentity.empty(); }
    // "cabinet-1", "cabinet-1:5095", "[fd00::7]": the host as the port dialog shows it, with the port
    // when it is not 5094.
    std::string HostText() const;
    bool operator==(const RemoteEndpoint&) const = default;
};

struct RemotePortEntry {
    int number = 0;
    std::string comName; // "COM300"
    RemoteEndpoint endpoint;
};

// Whether a ports.conf value is meant as a remote endpoint (it begins with a hartip scheme).
bool IsRemoteUrl(std::string_view value);
// Parses a remote endpoint; nothing, with the reason in *error, when the text is not one.
std::optional<RemoteEndpoint> ParseRemoteEndpoint(std::string_view url, std::string* error = nullptr);

// The remote ports of the map, ordered by COM number.
std::vector<RemotePortEntry> ReadRemotePorts(const SerialPortMapSources& sources);
// The endpoint of COM<number> when the map has it as a remote port.
std::optional<RemoteEndpoint> LookupRemotePort(int number, const SerialPortMapSources& sources);

// Reads the pre-shared key for `identity` from the key file. 0 with the key in *key, or an errno value
// with the reason in *error: EACCES for a file other users may read or write, EINVAL for a file that is
// not a regular file or holds no well-formed key for the identity.
int ReadPskKeyFile(const std::string& path, const std::string& identity, std::vector<uint8_t>* key,
                   std::string* error);

inline constexpr size_t kMaxPskKeyBytes = 64;

} // namespace zelhart::platform

// The server's command line and its key file, parsed without touching the system.
//
//   zelhart-hartipd [--bind ADDRESS]... [--psk-file FILE] [--allow-plain] [--max-sessions N]
//                   [--first-message-timeout MS] [--ready-fd FD] COMn=PORT...
//
// PORT 0 lets the server choose a free port (it is reported on the ready descriptor and in the log).
// Key file: one "identity:key" a line, the key in hexadecimal (16 to 64 bytes); empty lines and lines
// beginning with # are skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::hartip::server {

inline constexpr std::size_t kDefaultMaxSessions = 8;
inline constexpr std::size_t kMaxSessionsLimit = 64;
inline constexpr std::uint32_t kDefaultFirstMessageMs = 5000;
inline constexpr std::size_t kMaxPorts = 64;
inline constexpr std::size_t kMaxBinds = 16;
inline constexpr std::size_t kMaxPskFileSize = 64 * 1024;
inline constexpr std::size_t kMaxPskEntries = 256;
inline constexpr std::size_t kMaxPskIdentity = 128;

struct PortMapping {
    int com = 0;             // COM<com>
    std::uint16_t port = 0;  // TCP and UDP port; 0: chosen by the server
    bool operator==(const PortMapping&) const = default;
};

struct Options {
    std::vector<std::string> binds; // empty: 127.0.0.1 and ::1
    std::string pskFile;
    bool allowPlain = false;
    std::size_t maxSessions = kDefaultMaxSessions;
    std::uint32_t firstMessageMs = kDefaultFirstMessageMs;
    int readyFd = -1;
    std::vector<PortMapping> ports;
};

// nullopt with `error` set when the command line is wrong (`help` set for --help).
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error, bool* help = nullptr);
std::string_view Usage();

struct PskEntry {
    std::string identity;
    std::vector<std::uint8_t> key;
};
// nullopt with `error` (naming the line) when the text is not a sound key file or holds no key.
std::optional<std::vector<PskEntry>> ParsePskFile(std::string_view text, std::string& error);

} // namespace zelhart::hartip::server

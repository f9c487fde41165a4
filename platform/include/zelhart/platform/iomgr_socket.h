// Sending and receiving one packet of the driver's socket protocol, with at most one descriptor
// attached (SCM_RIGHTS). Shared by the daemon and the client so that both treat truncation and stray
// descriptors alike.
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <cstdint>
#include <span>
#include <sys/types.h>

namespace zelhart::platform::iomgr {

enum class ReceiveResult {
    Packet,    // *length bytes in the buffer, *passedFd set when one descriptor came along
    Closed,    // the peer hung up
    Again,     // nothing there (non-blocking socket), or interrupted
    Malformed, // longer than the buffer, truncated control data, or more than one descriptor
    Failed,    // a socket error; errno tells
};

// Receives one packet into `buffer`. Descriptors arrive close-on-exec; extra ones are closed.
ReceiveResult ReceivePacket(int sock, std::span<uint8_t> buffer, size_t* length, UniqueFd* passedFd);

// Sends one packet, optionally with one descriptor; never raises SIGPIPE. Returns 0 or an errno value
// (EAGAIN on a full non-blocking socket).
int SendPacket(int sock, std::span<const uint8_t> packet, int fdToPass = -1);

} // namespace zelhart::platform::iomgr

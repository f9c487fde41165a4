// One HART-IP session's transport, as its client end: UDP, plain TCP, or TCP with TLS-PSK after the plain
// session initiate (version 2). Opening it connects, initiates the session and, when secured, completes
// the TLS handshake, each step within the open time. Afterwards one thread at a time sends whole
// messages and reads what has arrived; the socket is non-blocking, so the caller polls fd().
#pragma once

#include "win32.h"

#include "zelhart/hartip/message.h"
#include "zelhart/platform/remote_port.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zelhart::hartif {

struct HartIpTimings {
    int openMs = 3000;              // connect, session initiate and TLS handshake together
    int responseMs = 10000;         // a request's response; past it the session counts as lost
    uint32_t inactivityMs = 30000;  // asked of the server at the initiate; keep-alives go at a third of
                                    // the time the server grants
};

class HartIpConnection {
public:
    using Clock = std::chrono::steady_clock;

    ~HartIpConnection();
    HartIpConnection(const HartIpConnection&) = delete;
    HartIpConnection& operator=(const HartIpConnection&) = delete;

    // Connects to the endpoint and initiates a session with master type 1 (primary) or 0 (secondary).
    // ERROR_SUCCESS with the connection; otherwise the reason in *why: ERROR_FILE_NOT_FOUND (no server,
    // no answer in time, a refused session), ERROR_ACCESS_DENIED (a key file that is not safe, a failed
    // handshake).
    static Win32Error Open(const platform::RemoteEndpoint& endpoint, uint8_t masterType,
                           const HartIpTimings& timings, std::unique_ptr<HartIpConnection>* out, std::string* why);

    int fd() const { return fd_; }
    // The inactivity time the server granted.
    uint32_t InactivityMs() const { return inactivityMs_; }
    uint8_t MasterType() const { return masterType_; }
    uint8_t Version() const { return version_; }
    uint16_t NextSequence() { return ++sequence_; }

    // Sends one whole message by the deadline; false when the connection failed.
    bool Send(std::span<const uint8_t> message, Clock::time_point deadline);
    enum class ReadResult { Ok, Closed, Failed };
    // Appends every whole message that has arrived (datagrams that are not one message are dropped).
    // Closed: the peer ended the connection; Failed: an error, or a stream that cannot be cut into messages.
    ReadResult ReadAvailable(std::vector<hartip::Message>* messages);
    // A session close request, sent without waiting for its answer, then the connection is shut.
    void CloseSession();

private:
    HartIpConnection() = default;
    Win32Error Connect(const platform::RemoteEndpoint& endpoint, Clock::time_point deadline, std::string* why);
    Win32Error Initiate(uint8_t masterType, uint32_t inactivityMs, Clock::time_point deadline, std::string* why);
    Win32Error Handshake(const platform::RemoteEndpoint& endpoint, Clock::time_point deadline, std::string* why);
    // Waits for one whole message by the deadline.
    bool ReceiveOne(hartip::Message* message, Clock::time_point deadline);
    bool WaitFor(short events, Clock::time_point deadline);

    struct Tls;
    int fd_ = -1;
    bool stream_ = true;
    uint8_t version_ = 1;
    uint8_t masterType_ = 0;
    uint16_t sequence_ = 0;
    uint32_t inactivityMs_ = 0;
    hartip::StreamReassembler reassembler_;
    std::unique_ptr<Tls> tls_;
};

} // namespace zelhart::hartif

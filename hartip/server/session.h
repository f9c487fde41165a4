// One HART-IP session as the server sees it, free of I/O: whole messages and the time in, replies and
// requests for the line out. The server (server.cpp) owns the sockets, TLS and the port's line; this
// decides what each message means and what is answered.
//
// A session begins with a session initiate (nothing else is served before it), ends with a session
// close, the inactivity time without a message, or its connection. Every reply repeats the request's
// id and sequence number. What cannot be taken:
//   datagram/message shorter than a header          dropped (nothing to answer to)
//   byte count disagreeing with the bytes, too large NAK (type 15), status 5 or kTooLarge
//   a type other than request                       NAK, status kInvalidSelection
//   unknown or unserved id (4, 5, 6...)             error (type 3), status kInvalidSelection
//   anything but initiate before the session        error, status kNoSession
//   a second initiate in the session                error, status kSessionAlreadyExists
// A token-passing PDU goes to the line when it is a sound master request whose master bit is the
// session's master type (a secondary session cannot speak as the primary master); the reply is the device's
// answer frame as it came, or an empty body with kBusy / kNoResponse / kDamagedResponse /
// kPortUnavailable / kInvalidFrame (never success without a frame).
#pragma once

#include "zelhart/hartip/message.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zelhart::hartip::server {

class Session;

// What a session needs of its endpoint (the COM port and the sessions on it).
class Endpoint {
public:
    virtual ~Endpoint() = default;
    // One primary master at a time per port: false when another session holds it.
    virtual bool ClaimPrimary(const Session& session) = 0;
    virtual void ReleasePrimary(const Session& session) = 0;
    // A plain session is open on this port (a secured peer is warned with status 30).
    virtual bool PlainSessionOpen(const Session& except) const = 0;
    // Another session may begin here (at most the endpoint's limit are established at once).
    virtual bool SessionAvailable() const = 0;
};

struct SessionPolicy {
    bool transportSecurable = false; // TCP with keys configured: version 2 may begin here
    bool plainAllowed = true;        // version 1 sessions are accepted on this listener
    std::uint32_t minInactivityMs = 1000;
    std::uint32_t maxInactivityMs = 600000;
};

// What becomes of a token-passing PDU on the line.
enum class LineOutcome { Answered, Busy, NoResponse, Damaged, PortUnavailable };

class Session {
public:
    // `firstMessageMs`: how long the peer has for its session initiate.
    Session(SessionPolicy policy, std::uint64_t nowMs, std::uint32_t firstMessageMs)
        : policy_(policy), inactivityMs_(firstMessageMs), lastMessageMs_(nowMs) {}

    struct Step {
        std::vector<std::uint8_t> reply; // to send now (empty: nothing)
        bool close = false;              // end the session (and a TCP connection) after the reply
        bool startTls = false;           // the reply goes in the clear, then the TLS handshake begins
        bool forward = false;            // `frame` goes on the line; LineAnswer() makes the reply
        std::vector<std::uint8_t> frame;
    };
    // One whole message (a datagram, or a message cut from a TCP stream). `nowMs` is a monotonic time.
    Step OnMessage(std::span<const std::uint8_t> bytes, std::uint64_t nowMs, Endpoint& endpoint);
    // The reply to the PDU forwarded last: `frame` is the device's answer when Answered (it is checked
    // here: a frame that is not a sound slave reply gives kDamagedResponse).
    std::vector<std::uint8_t> LineAnswer(LineOutcome outcome, std::span<const std::uint8_t> frame);
    // The session is over: the primary master's claim is given back.
    void End(Endpoint& endpoint);

    bool established() const { return established_; }
    bool ended() const { return ended_; }
    bool primary() const { return primary_; }
    bool awaitingLine() const { return awaitingLine_; }
    std::uint8_t version() const { return version_; }
    std::uint32_t inactivityMs() const { return inactivityMs_; }
    // When the session (or, before it, the connection) is to be closed for silence.
    std::uint64_t deadline() const { return lastMessageMs_ + inactivityMs_; }
    std::uint64_t messages() const { return messages_; }
    std::uint64_t writes() const { return writes_; }
    // The server's choice of a version-2 session on a TCP connection whose TLS is now up.
    void SetSecured() { secured_ = true; }
    bool secured() const { return secured_; }

private:
    std::vector<std::uint8_t> Reply(const Header& request, std::uint8_t type, std::uint8_t status,
                                    std::span<const std::uint8_t> body = {}) const;
    Step Initiate(const Message& message, Endpoint& endpoint);

    SessionPolicy policy_;
    bool established_ = false;
    bool ended_ = false;
    bool primary_ = false;
    bool secured_ = false;
    bool awaitingLine_ = false;
    std::uint8_t version_ = 1;
    std::uint32_t inactivityMs_ = 0;
    std::uint64_t lastMessageMs_ = 0;
    std::uint64_t messages_ = 0;
    std::uint64_t writes_ = 0;
    Header pending_{}; // the PDU on the line
};

} // namespace zelhart::hartip::server

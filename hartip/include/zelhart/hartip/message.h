// HART-IP messages: the codec both ends share. No I/O, no Qt, no system calls: bytes in, values out.
//
// API in brief
//   Header / EncodeHeader / DecodeHeader   the 8-byte header, all numbers big-endian:
//       version(1) type(1) id(1) status(1) sequence(2) byte count(2, the whole message, header included)
//   Encode(header, body)                   a whole message; the byte count is set from the body's size
//   Decode(bytes, message)                 one whole message (one UDP datagram, or one message the
//                                          reassembler cut from a TCP stream); every length is checked
//                                          before a byte of the body is read (DecodeError says what failed)
//   SessionInitiate / EncodeSessionInitiate / DecodeSessionInitiate
//                                          the session initiate body: master type(1), inactivity ms (u32)
//   CheckFrame(bytes)                      validates a token-passing PDU body: one HART frame without
//                                          preambles (delimiter, 1- or 5-byte address, expansion bytes,
//                                          command, byte count, data, check byte); FrameView gives its parts
//   StreamReassembler                      cuts a TCP byte stream into whole messages (split and merged
//                                          reads), holding at most one message's bytes; a byte count that
//                                          cannot be a message breaks the stream for good
//   status::*                              the status byte's codes, standard and ours (see there)
// A message's length is bounded by kMaxMessageSize: the header and the longest HART frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zelhart::hartip {

inline constexpr std::uint16_t kDefaultPort = 5094;
inline constexpr std::size_t kHeaderSize = 8;

// The longest HART frame without preambles: delimiter, long address, three expansion bytes, command,
// byte count, 255 data bytes, check byte.
inline constexpr std::size_t kMaxFrameSize = 1 + 5 + 3 + 1 + 1 + 255 + 1;
inline constexpr std::size_t kMaxBodySize = kMaxFrameSize;
inline constexpr std::size_t kMaxMessageSize = kHeaderSize + kMaxBodySize;

enum class Version : std::uint8_t { Plain = 1, Secured = 2 };

enum class MessageType : std::uint8_t { Request = 0, Response = 1, Publish = 2, Error = 3, Nak = 15 };

enum class MessageId : std::uint8_t {
    SessionInitiate = 0,
    SessionClose = 1,
    KeepAlive = 2,
    TokenPassingPdu = 3,
    DirectPdu = 4,
    ReadAuditLog = 5,
};

// The status byte of a response (0 in requests).
namespace status {
inline constexpr std::uint8_t kSuccess = 0;
inline constexpr std::uint8_t kInvalidSelection = 2;        // a bad master type, an unknown message id
inline constexpr std::uint8_t kTooFewDataBytes = 5;         // a body shorter than its message needs
inline constexpr std::uint8_t kSetToNearest = 8;            // warning: the inactivity time was changed
inline constexpr std::uint8_t kSecurityNotInitialised = 9;  // a secured session asked of a server without keys
inline constexpr std::uint8_t kVersionNotSupported = 14;    // warning: the response carries the server's version
inline constexpr std::uint8_t kAllSessionsInUse = 15;
inline constexpr std::uint8_t kSessionAlreadyExists = 16;   // also: another primary master holds the port
inline constexpr std::uint8_t kInsecureSessionExists = 30;  // warning to a secured peer
inline constexpr std::uint8_t kBusy = 32;                   // the port is busy (another program's exchange): retry
// Ours, for a token-passing PDU that brought no answer frame (the body of such a response is empty):
inline constexpr std::uint8_t kNoResponse = 62;             // the device did not answer in time
inline constexpr std::uint8_t kDamagedResponse = 63;        // what came back was not a sound frame
inline constexpr std::uint8_t kPortUnavailable = 64;        // the COM port is gone or cannot be opened
inline constexpr std::uint8_t kTooLarge = 65;               // a message longer than kMaxMessageSize
inline constexpr std::uint8_t kNoSession = 66;              // a message other than initiate before a session
inline constexpr std::uint8_t kInvalidFrame = 67;           // a token-passing PDU that is not a sound frame
} // namespace status

struct Header {
    std::uint8_t version = static_cast<std::uint8_t>(Version::Plain);
    std::uint8_t type = static_cast<std::uint8_t>(MessageType::Request);
    std::uint8_t id = static_cast<std::uint8_t>(MessageId::SessionInitiate);
    std::uint8_t status = 0;
    std::uint16_t sequence = 0;
    std::uint16_t byteCount = kHeaderSize; // the whole message, header included
    bool operator==(const Header&) const = default;
};

struct Message {
    Header header;
    std::vector<std::uint8_t> body;
};

enum class DecodeError {
    None,
    ShortHeader,       // fewer than 8 bytes
    ByteCountTooSmall, // the byte count is less than the header
    ByteCountBeyond,   // the byte count is more than the bytes there are
    TrailingBytes,     // bytes after the message the byte count ends (a datagram holds one message)
    TooLarge,          // the byte count is beyond kMaxMessageSize
};
std::string_view DecodeErrorName(DecodeError error);

std::array<std::uint8_t, kHeaderSize> EncodeHeader(const Header& header);
// Reads the header's fields and nothing more (no check of the byte count): nullopt when short.
std::optional<Header> DecodeHeader(std::span<const std::uint8_t> bytes);

// The byte count is set from the body. A body longer than kMaxBodySize is cut there (never sent).
std::vector<std::uint8_t> Encode(Header header, std::span<const std::uint8_t> body);
// `bytes` must be exactly one message. On an error `out` is left unspecified.
DecodeError Decode(std::span<const std::uint8_t> bytes, Message& out);

// Session initiate: master type 1 = primary, 0 = secondary.
inline constexpr std::size_t kSessionInitiateBodySize = 5;
struct SessionInitiate {
    std::uint8_t masterType = 1;
    std::uint32_t inactivityMs = 0;
    bool operator==(const SessionInitiate&) const = default;
};
std::array<std::uint8_t, kSessionInitiateBodySize> EncodeSessionInitiate(const SessionInitiate& body);
// nullopt when the body is shorter than 5 bytes (status::kTooFewDataBytes); surplus bytes are ignored.
std::optional<SessionInitiate> DecodeSessionInitiate(std::span<const std::uint8_t> body);

// A HART frame without preambles. The delimiter: bit 7 long (5-byte) address, bits 5-6 the number of
// expansion bytes, bits 0-2 the frame type (1 burst, 2 master to slave, 6 slave to master).
inline constexpr std::uint8_t kFrameTypeBurst = 1;
inline constexpr std::uint8_t kFrameTypeRequest = 2;
inline constexpr std::uint8_t kFrameTypeResponse = 6;

enum class FrameError {
    None,
    TooShort,      // shorter than its delimiter and byte count say
    BadDelimiter,  // a frame type other than 1, 2 or 6, or a physical layer other than asynchronous
    TrailingBytes, // bytes after the check byte
    BadCheckByte,
};
std::string_view FrameErrorName(FrameError error);

struct FrameView {
    std::uint8_t delimiter = 0;
    std::span<const std::uint8_t> address;   // 1 or 5 bytes
    std::span<const std::uint8_t> expansion; // 0 to 3 bytes
    std::uint8_t command = 0;
    std::span<const std::uint8_t> data;      // byte count bytes
    std::uint8_t checkByte = 0;
    bool longAddress() const { return address.size() == 5; }
    std::uint8_t frameType() const { return delimiter & 0x07; }
};

// Checks that `bytes` is exactly one sound frame; fills `view` (pointing into `bytes`) when it is.
FrameError CheckFrame(std::span<const std::uint8_t> bytes, FrameView* view = nullptr);
// The exclusive-or of every byte.
std::uint8_t CheckByte(std::span<const std::uint8_t> bytes);

// Cuts a TCP byte stream into whole messages. Feed what each read brought, then take messages out
// with Next() until it gives nothing. It holds at most kMaxMessageSize bytes: Feed() takes only what
// fits and returns how many bytes it took, so the caller feeds the rest after taking messages out.
// A header whose byte count is below 8 or above kMaxMessageSize breaks the stream: broken() is true
// from then on (the connection is to be closed; a stream cannot be resynchronised).
class StreamReassembler {
public:
    std::size_t Feed(std::span<const std::uint8_t> bytes);
    // The next whole message's bytes, or nullopt when none is complete (or the stream is broken).
    std::optional<std::vector<std::uint8_t>> Next();
    bool broken() const { return broken_; }
    DecodeError error() const { return error_; }
    std::size_t pending() const { return size_; } // bytes held of an incomplete message
    const Header& brokenHeader() const { return brokenHeader_; } // the header that broke the stream
private:
    Header brokenHeader_{};
    std::array<std::uint8_t, kMaxMessageSize> buffer_{};
    std::size_t size_ = 0;
    bool broken_ = false;
    DecodeError error_ = DecodeError::None;
};

} // namespace zelhart::hartip

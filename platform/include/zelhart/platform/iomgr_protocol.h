// The driver daemon's request protocol: one definition for the daemon and every client.
//
// User mode reaches ZelHartDriver through one Unix socket, <runtime dir>/zelhart.sock, of type
// SOCK_SEQPACKET: every message is one packet, so a message is never split or merged, and a
// descriptor passed with SCM_RIGHTS stays attached to the message it came with. One connection is one
// open handle (one file object in the daemon); closing it is cleanup and then close of that handle.
//
// A message is a MessageHeader {size, type, reserved}, then the fixed record of its type, then a
// payload whose length the record states. The size is the whole packet and is checked against the
// received length, the record and the payload before anything else is looked at; every length is
// bounded. All integers are little-endian (both ends run on one machine).
//
//   client -> daemon                                 daemon -> client
//   Hello {magic, version}                            HelloReply {magic, version, status}
//   Create {id, access, share, nameLength} + name     Complete {id, status, information, dataLength}
//   Read {id, length}                                   + data (the read bytes, the IOCTL output,
//   Write {id, length} + bytes                            the interface path of a look-up)
//   DeviceControl {id, code, inLength, outLength,
//                  handle} + input [+ one descriptor]
//   Cancel {id}  (0: every request of the handle)
//   LookupInterface {id, class GUID, index}
//
// Hello must come first and is answered at once; a version the daemon does not speak is answered
// with STATUS_REVISION_MISMATCH, and a client the daemon does not serve (socket_access.h) with
// STATUS_PRIVILEGE_NOT_HELD, and the connection ends. Create, Read, Write, DeviceControl and
// LookupInterface are requests: each carries an id of the client's choosing (non-zero, unique among
// the connection's outstanding requests) and is answered by exactly one Complete, asynchronously and
// in any order. Cancel is answered by the Complete of the request it cancels (normally with
// STATUS_CANCELLED). A malformed message ends that connection only.
#pragma once

#include "zelhart/platform/guid.h"
#include "zelhart/platform/ntstatus.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace zelhart::platform::iomgr {

static_assert(std::endian::native == std::endian::little, "the records are laid out little-endian");

inline constexpr uint32_t kProtocolMagic = 0x4F49485A; // "ZHIO"
inline constexpr uint16_t kProtocolVersion = 1;
inline constexpr char kSocketFileName[] = "zelhart.sock";

inline constexpr uint32_t kMaxObjectNameLength = 512; // bytes of a Create name (UTF-8)
inline constexpr uint32_t kMaxTransferLength = 4096;  // read, write, IOCTL input and output, Complete data
inline constexpr uint32_t kNoHandle = 0xFFFFFFFF;     // DeviceControl without an attached descriptor

// Access and share masks of Create, as CreateFile takes them.
inline constexpr uint32_t GENERIC_READ = 0x80000000;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr uint32_t FILE_SHARE_READ = 0x00000001;
inline constexpr uint32_t FILE_SHARE_WRITE = 0x00000002;

enum class MessageType : uint16_t {
    Hello = 1,
    HelloReply = 2,
    Create = 3,
    Read = 4,
    Write = 5,
    DeviceControl = 6,
    Cancel = 7,
    LookupInterface = 8,
    Complete = 9,
};

#pragma pack(push, 1)
struct MessageHeader {
    uint32_t size; // whole message: header, record and payload
    uint16_t type; // MessageType
    uint16_t reserved;
};

struct HelloRecord {
    uint32_t magic;
    uint16_t version;
    uint16_t reserved;
};

struct HelloReplyRecord {
    uint32_t magic;
    uint16_t version; // the daemon's
    uint16_t reserved;
    int32_t status; // STATUS_SUCCESS, or STATUS_REVISION_MISMATCH/_PRIVILEGE_NOT_HELD before a hang-up
};

struct CreateRecord {
    uint64_t requestId;
    uint32_t desiredAccess;
    uint32_t shareAccess;
    uint32_t nameLength; // payload: the object name, 1..kMaxObjectNameLength bytes, no NUL
};

struct ReadRecord {
    uint64_t requestId;
    uint32_t length; // 0..kMaxTransferLength
};

struct WriteRecord {
    uint64_t requestId;
    uint32_t length; // payload: the bytes, 0..kMaxTransferLength
};

struct DeviceControlRecord {
    uint64_t requestId;
    uint32_t ioControlCode;
    uint32_t inputLength;  // payload: the input, 0..kMaxTransferLength
    uint32_t outputLength; // 0..kMaxTransferLength
    uint32_t handleValue;  // the client's number of the descriptor sent along, or kNoHandle
};

struct CancelRecord {
    uint64_t requestId; // 0: every outstanding request of this connection
};

struct LookupInterfaceRecord {
    uint64_t requestId;
    Guid interfaceClass;
    uint32_t index; // which present interface of the class, from 0
};

struct CompleteRecord {
    uint64_t requestId;
    int32_t status;
    uint32_t information;
    uint32_t dataLength; // payload: output bytes, 0..kMaxTransferLength
};
#pragma pack(pop)

static_assert(sizeof(MessageHeader) == 8);
static_assert(sizeof(HelloRecord) == 8);
static_assert(sizeof(HelloReplyRecord) == 12);
static_assert(sizeof(CreateRecord) == 20);
static_assert(sizeof(ReadRecord) == 12);
static_assert(sizeof(WriteRecord) == 12);
static_assert(sizeof(DeviceControlRecord) == 24);
static_assert(sizeof(CancelRecord) == 8);
static_assert(sizeof(LookupInterfaceRecord) == 28);
static_assert(sizeof(CompleteRecord) == 20);
static_assert(offsetof(CompleteRecord, status) == 8 && offsetof(DeviceControlRecord, handleValue) == 20);

// The largest message either side may send (DeviceControl is the largest record with a payload);
// a longer packet is malformed.
inline constexpr uint32_t kMaxMessageSize =
    sizeof(MessageHeader) + sizeof(DeviceControlRecord) + kMaxTransferLength;
static_assert(sizeof(DeviceControlRecord) >= sizeof(CompleteRecord) &&
              sizeof(DeviceControlRecord) >= sizeof(WriteRecord) &&
              sizeof(MessageHeader) + sizeof(LookupInterfaceRecord) <= kMaxMessageSize &&
              sizeof(MessageHeader) + sizeof(CreateRecord) + kMaxObjectNameLength <= kMaxMessageSize);

// A decoded message: its fixed record and a view of its payload inside the packet.
struct Message {
    std::variant<HelloRecord, HelloReplyRecord, CreateRecord, ReadRecord, WriteRecord, DeviceControlRecord,
                 CancelRecord, LookupInterfaceRecord, CompleteRecord>
        record;
    std::span<const uint8_t> payload;

    MessageType type() const { return static_cast<MessageType>(record.index() + 1); }
};

enum class Sender { Client, Daemon };

enum class DecodeError {
    None,
    TooShort,     // shorter than a header, or than the record of its type
    TooLong,      // longer than kMaxMessageSize
    SizeMismatch, // the header's size is not the packet's length
    UnknownType,  // no such message type, or one the other side does not send
    BadReserved,  // a reserved field is not zero
    BadLength,    // a length field disagrees with the payload or exceeds its bound
    BadName,      // a Create name that is empty or holds a NUL
    BadRequestId, // a request with id 0
};

// Decodes one received packet from `from`; the payload view points into `packet`.
DecodeError Decode(std::span<const uint8_t> packet, Sender from, Message* out);
const char* DecodeErrorText(DecodeError error);

// Encoders: header, record and payload in one packet. The caller keeps the record's length fields in
// step with the payload; Decode on the other side rejects a packet where they disagree.
std::vector<uint8_t> Encode(const HelloRecord& r);
std::vector<uint8_t> Encode(const HelloReplyRecord& r);
std::vector<uint8_t> Encode(const CreateRecord& r, std::span<const uint8_t> name);
std::vector<uint8_t> Encode(const ReadRecord& r);
std::vector<uint8_t> Encode(const WriteRecord& r, std::span<const uint8_t> bytes);
std::vector<uint8_t> Encode(const DeviceControlRecord& r, std::span<const uint8_t> input);
std::vector<uint8_t> Encode(const CancelRecord& r);
std::vector<uint8_t> Encode(const LookupInterfaceRecord& r);
std::vector<uint8_t> Encode(const CompleteRecord& r, std::span<const uint8_t> data);

// <runtime dir>/zelhart.sock
std::string SocketPath();

} // namespace zelhart::platform::iomgr

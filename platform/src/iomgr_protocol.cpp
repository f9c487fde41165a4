#include "zelhart/platform/iomgr_protocol.h"

#include "zelhart/platform/runtime_dir.h"

#include <algorithm>
#include <cstring>

namespace zelhart::platform::iomgr {
namespace {

template <class Record> constexpr MessageType TypeOf();
template <> constexpr MessageType TypeOf<HelloRecord>() {
    return MessageType::Hello;
}
template <> constexpr MessageType TypeOf<HelloReplyRecord>() {
    return MessageType::HelloReply;
}
template <> constexpr MessageType TypeOf<CreateRecord>() {
    return MessageType::Create;
}
template <> constexpr MessageType TypeOf<ReadRecord>() {
    return MessageType::Read;
}
template <> constexpr MessageType TypeOf<WriteRecord>() {
    return MessageType::Write;
}
template <> constexpr MessageType TypeOf<DeviceControlRecord>() {
    return MessageType::DeviceControl;
}
template <> constexpr MessageType TypeOf<CancelRecord>() {
    return MessageType::Cancel;
}
template <> constexpr MessageType TypeOf<LookupInterfaceRecord>() {
    return MessageType::LookupInterface;
}
template <> constexpr MessageType TypeOf<CompleteRecord>() {
    return MessageType::Complete;
}

template <class Record> std::vector<uint8_t> Pack(const Record& r, std::span<const uint8_t> payload) {
    MessageHeader h{};
    h.size = static_cast<uint32_t>(sizeof(h) + sizeof(r) + payload.size());
    h.type = static_cast<uint16_t>(TypeOf<Record>());
    std::vector<uint8_t> out(h.size);
    std::memcpy(out.data(), &h, sizeof(h));
    std::memcpy(out.data() + sizeof(h), &r, sizeof(r));
    if (!payload.empty()) std::memcpy(out.data() + sizeof(h) + sizeof(r), payload.data(), payload.size());
    return out;
}

// Reads the record of type Record from the body and checks what holds for every record of the type.
template <class Record> DecodeError Take(std::span<const uint8_t> body, Message* out, Record* r) {
    if (body.size() < sizeof(Record)) return DecodeError::TooShort;
    std::memcpy(r, body.data(), sizeof(Record));
    out->payload = body.subspan(sizeof(Record));
    return DecodeError::None;
}

DecodeError CheckPayload(const Message& m, uint32_t declared, uint32_t bound) {
    if (declared > bound || m.payload.size() != declared) return DecodeError::BadLength;
    return DecodeError::None;
}

DecodeError NoPayload(const Message& m) {
    return m.payload.empty() ? DecodeError::None : DecodeError::BadLength;
}

DecodeError DecodeBody(MessageType type, std::span<const uint8_t> body, Message* m) {
    switch (type) {
    case MessageType::Hello: {
        HelloRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        if (r.reserved != 0) return DecodeError::BadReserved;
        return NoPayload(*m);
    }
    case MessageType::HelloReply: {
        HelloReplyRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        if (r.reserved != 0) return DecodeError::BadReserved;
        return NoPayload(*m);
    }
    case MessageType::Create: {
        CreateRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        if (r.requestId == 0) return DecodeError::BadRequestId;
        if (auto e = CheckPayload(*m, r.nameLength, kMaxObjectNameLength); e != DecodeError::None) return e;
        if (r.nameLength == 0 || std::find(m->payload.begin(), m->payload.end(), 0) != m->payload.end())
            return DecodeError::BadName;
        return DecodeError::None;
    }
    case MessageType::Read: {
        ReadRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        if (r.requestId == 0) return DecodeError::BadRequestId;
        if (r.length > kMaxTransferLength) return DecodeError::BadLength;
        return NoPayload(*m);
    }
    case MessageType::Write: {
        WriteRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        if (r.requestId == 0) return DecodeError::BadRequestId;
        return CheckPayload(*m, r.length, kMaxTransferLength);
    }
    case MessageType::DeviceControl: {
        DeviceControlRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        if (r.requestId == 0) return DecodeError::BadRequestId;
        if (r.outputLength > kMaxTransferLength) return DecodeError::BadLength;
        return CheckPayload(*m, r.inputLength, kMaxTransferLength);
    }
    case MessageType::Cancel: {
        CancelRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        return NoPayload(*m);
    }
    case MessageType::LookupInterface: {
        LookupInterfaceRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        if (r.requestId == 0) return DecodeError::BadRequestId;
        return NoPayload(*m);
    }
    case MessageType::Complete: {
        CompleteRecord r;
        if (auto e = Take(body, m, &r); e != DecodeError::None) return e;
        m->record = r;
        return CheckPayload(*m, r.dataLength, kMaxTransferLength);
    }
    }
    return DecodeError::UnknownType;
}

bool SentBy(MessageType type, Sender from) {
    switch (type) {
    case MessageType::HelloReply:
    case MessageType::Complete:
        return from == Sender::Daemon;
    case MessageType::Hello:
    case MessageType::Create:
    case MessageType::Read:
    case MessageType::Write:
    case MessageType::DeviceControl:
    case MessageType::Cancel:
    case MessageType::LookupInterface:
        return from == Sender::Client;
    }
    return false;
}

} // namespace

DecodeError Decode(std::span<const uint8_t> packet, Sender from, Message* out) {
    MessageHeader h;
    if (packet.size() < sizeof(h)) return DecodeError::TooShort;
    if (packet.size() > kMaxMessageSize) return DecodeError::TooLong;
    std::memcpy(&h, packet.data(), sizeof(h));
    if (h.size != packet.size()) return DecodeError::SizeMismatch;
    if (h.reserved != 0) return DecodeError::BadReserved;
    auto type = static_cast<MessageType>(h.type);
    if (h.type < static_cast<uint16_t>(MessageType::Hello) ||
        h.type > static_cast<uint16_t>(MessageType::Complete) || !SentBy(type, from))
        return DecodeError::UnknownType;
    Message m;
    DecodeError e = DecodeBody(type, packet.subspan(sizeof(h)), &m);
    if (e == DecodeError::None) *out = m;
    return e;
}

const char* DecodeErrorText(DecodeError error) {
    switch (error) {
    case DecodeError::None:
        return "well-formed";
    case DecodeError::TooShort:
        return "message too short";
    case DecodeError::TooLong:
        return "message too long";
    case DecodeError::SizeMismatch:
        return "size field disagrees with the message length";
    case DecodeError::UnknownType:
        return "unknown message type";
    case DecodeError::BadReserved:
        return "reserved field not zero";
    case DecodeError::BadLength:
        return "length field disagrees with the payload or exceeds its bound";
    case DecodeError::BadName:
        return "empty object name or NUL in the name";
    case DecodeError::BadRequestId:
        return "request id 0";
    }
    return "unknown decode error";
}

std::vector<uint8_t> Encode(const HelloRecord& r) {
    return Pack(r, {});
}
std::vector<uint8_t> Encode(const HelloReplyRecord& r) {
    return Pack(r, {});
}
std::vector<uint8_t> Encode(const CreateRecord& r, std::span<const uint8_t> name) {
    return Pack(r, name);
}
std::vector<uint8_t> Encode(const ReadRecord& r) {
    return Pack(r, {});
}
std::vector<uint8_t> Encode(const WriteRecord& r, std::span<const uint8_t> bytes) {
    return Pack(r, bytes);
}
std::vector<uint8_t> Encode(const DeviceControlRecord& r, std::span<const uint8_t> input) {
    return Pack(r, input);
}
std::vector<uint8_t> Encode(const CancelRecord& r) {
    return Pack(r, {});
}
std::vector<uint8_t> Encode(const LookupInterfaceRecord& r) {
    return Pack(r, {});
}
std::vector<uint8_t> Encode(const CompleteRecord& r, std::span<const uint8_t> data) {
    return Pack(r, data);
}

std::string SocketPath() {
    return RuntimeDir() + "/" + kSocketFileName;
}

} // namespace zelhart::platform::iomgr

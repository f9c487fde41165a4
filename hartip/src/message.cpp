#include "zelhart/hartip/message.h"

#include <algorithm>

namespace zelhart::hartip {

namespace {

void PutU16(std::uint8_t* out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 8);
    out[1] = static_cast<std::uint8_t>(value);
}

std::uint16_t GetU16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>((in[0] << 8) | in[1]);
}

} // namespace

std::string_view DecodeErrorName(DecodeError error) {
    switch (error) {
    case DecodeError::None: return "none";
    case DecodeError::ShortHeader: return "short header";
    case DecodeError::ByteCountTooSmall: return "byte count below the header";
    case DecodeError::ByteCountBeyond: return "byte count beyond the data";
    case DecodeError::TrailingBytes: return "bytes after the message";
    case DecodeError::TooLarge: return "message too large";
    }
    return "unknown";
}

std::string_view FrameErrorName(FrameError error) {
    switch (error) {
    case FrameError::None: return "none";
    case FrameError::TooShort: return "frame too short";
    case FrameError::BadDelimiter: return "bad delimiter";
    case FrameError::TrailingBytes: return "bytes after the check byte";
    case FrameError::BadCheckByte: return "bad check byte";
    }
    return "unknown";
}

std::array<std::uint8_t, kHeaderSize> EncodeHeader(const Header& header) {
    std::array<std::uint8_t, kHeaderSize> out{header.version, header.type, header.id, header.status};
    PutU16(&out[4], header.sequence);
    PutU16(&out[6], header.byteCount);
    return out;
}

std::optional<Header> DecodeHeader(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize)
        return std::nullopt;
    Header header;
    header.version = bytes[0];
    header.type = bytes[1];
    header.id = bytes[2];
    header.status = bytes[3];
    header.sequence = GetU16(&bytes[4]);
    header.byteCount = GetU16(&bytes[6]);
    return header;
}

std::vector<std::uint8_t> Encode(Header header, std::span<const std::uint8_t> body) {
    const std::size_t bodySize = std::min(body.size(), kMaxBodySize);
    header.byteCount = static_cast<std::uint16_t>(kHeaderSize + bodySize);
    const auto head = EncodeHeader(header);
    std::vector<std::uint8_t> out(kHeaderSize + bodySize);
    std::copy(head.begin(), head.end(), out.begin());
    if (bodySize > 0)
        std::copy_n(body.data(), bodySize, out.data() + kHeaderSize);
    return out;
}

DecodeError Decode(std::span<const std::uint8_t> bytes, Message& out) {
    const auto header = DecodeHeader(bytes);
    if (!header)
        return DecodeError::ShortHeader;
    if (header->byteCount < kHeaderSize)
        return DecodeError::ByteCountTooSmall;
    if (header->byteCount > kMaxMessageSize)
        return DecodeError::TooLarge;
    if (header->byteCount > bytes.size())
        return DecodeError::ByteCountBeyond;
    if (header->byteCount < bytes.size())
        return DecodeError::TrailingBytes;
    out.header = *header;
    out.body.assign(bytes.begin() + kHeaderSize, bytes.begin() + header->byteCount);
    return DecodeError::None;
}

std::array<std::uint8_t, kSessionInitiateBodySize> EncodeSessionInitiate(const SessionInitiate& body) {
    return {body.masterType, static_cast<std::uint8_t>(body.inactivityMs >> 24),
            static_cast<std::uint8_t>(body.inactivityMs >> 16), static_cast<std::uint8_t>(body.inactivityMs >> 8),
            static_cast<std::uint8_t>(body.inactivityMs)};
}

std::optional<SessionInitiate> DecodeSessionInitiate(std::span<const std::uint8_t> body) {
    if (body.size() < kSessionInitiateBodySize)
        return std::nullopt;
    SessionInitiate out;
    out.masterType = body[0];
    out.inactivityMs = (std::uint32_t{body[1]} << 24) | (std::uint32_t{body[2]} << 16) |
                       (std::uint32_t{body[3]} << 8) | std::uint32_t{body[4]};
    return out;
}

std::uint8_t CheckByte(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes)
        x ^= b;
    return x;
}

FrameError CheckFrame(std::span<const std::uint8_t> bytes, FrameView* view) {
    if (bytes.empty())
        return FrameError::TooShort;
    const std::uint8_t delimiter = bytes[0];
    const std::uint8_t frameType = delimiter & 0x07;
    if ((frameType != kFrameTypeBurst && frameType != kFrameTypeRequest && frameType != kFrameTypeResponse) ||
        (delimiter & 0x18) != 0)
        return FrameError::BadDelimiter;
    const std::size_t addressSize = (delimiter & 0x80) ? 5 : 1;
    const std::size_t expansionSize = (delimiter >> 5) & 0x03;
    const std::size_t commandAt = 1 + addressSize + expansionSize;
    // command, byte count, check byte at least
    if (bytes.size() < commandAt + 3)
        return FrameError::TooShort;
    const std::size_t dataSize = bytes[commandAt + 1];
    const std::size_t total = commandAt + 2 + dataSize + 1;
    if (bytes.size() < total)
        return FrameError::TooShort;
    if (bytes.size() > total)
        return FrameError::TrailingBytes;
    if (CheckByte(bytes.first(total - 1)) != bytes[total - 1])
        return FrameError::BadCheckByte;
    if (view) {
        view->delimiter = delimiter;
        view->address = bytes.subspan(1, addressSize);
        view->expansion = bytes.subspan(1 + addressSize, expansionSize);
        view->command = bytes[commandAt];
        view->data = bytes.subspan(commandAt + 2, dataSize);
        view->checkByte = bytes[total - 1];
    }
    return FrameError::None;
}

std::size_t StreamReassembler::Feed(std::span<const std::uint8_t> bytes) {
    if (broken_)
        return 0;
    const std::size_t take = std::min(bytes.size(), buffer_.size() - size_);
    std::copy_n(bytes.begin(), take, buffer_.begin() + static_cast<std::ptrdiff_t>(size_));
    size_ += take;
    return take;
}

std::optional<std::vector<std::uint8_t>> StreamReassembler::Next() {
    if (broken_)
        return std::nullopt;
    const auto header = DecodeHeader(std::span<const std::uint8_t>(buffer_.data(), size_));
    if (!header)
        return std::nullopt;
    if (header->byteCount < kHeaderSize || header->byteCount > kMaxMessageSize) {
        broken_ = true;
        brokenHeader_ = *header;
        error_ = header->byteCount < kHeaderSize ? DecodeError::ByteCountTooSmall : DecodeError::TooLarge;
        size_ = 0;
        return std::nullopt;
    }
    if (size_ < header->byteCount)
        return std::nullopt;
    std::vector<std::uint8_t> message(buffer_.begin(), buffer_.begin() + header->byteCount);
    std::copy(buffer_.begin() + header->byteCount, buffer_.begin() + static_cast<std::ptrdiff_t>(size_),
              buffer_.begin());
    size_ -= header->byteCount;
    return message;
}

} // namespace zelhart::hartip

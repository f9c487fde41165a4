// HART frames as they travel on the line, from the start delimiter to the check byte.
//
// A frame on the wire is: preambles (0xFF), delimiter, address (1 byte short, 5 bytes long),
// expansion bytes (0-3, counted in bits 5-6 of the delimiter), command, byte count, data, check byte.
// The check byte is the exclusive-or of every byte from the delimiter through the last data byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zelhart::sim {

inline constexpr uint8_t kPreamble = 0xFF;
inline constexpr size_t kMaxDataBytes = 255;
// Delimiter, long address, three expansion bytes, command, byte count, data, check byte.
inline constexpr size_t kMaxFrameBytes = 1 + 5 + 3 + 1 + 1 + kMaxDataBytes + 1;

// Frame types in the low three bits of the delimiter.
enum class FrameType : uint8_t { Burst = 1, Request = 2, Reply = 6 };

inline constexpr uint8_t kDelimiterLongAddress = 0x80;
inline constexpr uint8_t kAddressMasterBit = 0x80; // first address byte: primary master
inline constexpr uint8_t kAddressBurstBit = 0x40;  // first address byte: slave in burst mode

class Frame {
public:
    Frame() = default;

    // Parses complete frame bytes (delimiter .. check byte). False when the bytes are not one
    // well-formed frame; the check byte is not judged here (see checkOk()).
    bool Assign(std::span<const uint8_t> bytes);

    uint8_t delimiter() const { return bytes_[0]; }
    FrameType type() const { return static_cast<FrameType>(bytes_[0] & 0x07); }
    bool isLong() const { return (bytes_[0] & kDelimiterLongAddress) != 0; }
    size_t addressLength() const { return isLong() ? 5 : 1; }
    size_t expansionLength() const { return (bytes_[0] >> 5) & 0x03; }
    std::span<const uint8_t> address() const { return {bytes_.data() + 1, addressLength()}; }
    uint8_t command() const { return bytes_[1 + addressLength() + expansionLength()]; }
    uint8_t byteCount() const { return bytes_[2 + addressLength() + expansionLength()]; }
    std::span<const uint8_t> data() const {
        return {bytes_.data() + 3 + addressLength() + expansionLength(), byteCount()};
    }
    uint8_t checkByte() const { return bytes_[size_ - 1]; }
    bool checkOk() const;
    bool masterBit() const { return (bytes_[1] & kAddressMasterBit) != 0; }

    // The frame from its delimiter through its check byte.
    std::span<const uint8_t> bytes() const { return {bytes_.data(), size_}; }
    size_t size() const { return size_; }

    // Number of preambles that preceded the frame on the line (0 when built here).
    size_t preambles() const { return preambles_; }
    void setPreambles(size_t n) { preambles_ = n; }

private:
    std::array<uint8_t, kMaxFrameBytes> bytes_{};
    size_t size_ = 0;
    size_t preambles_ = 0;
};

// Exclusive-or of the bytes.
uint8_t CheckByte(std::span<const uint8_t> bytes);

// Builds a frame without expansion bytes: delimiter, address, command, data, and the check byte.
// Data longer than 255 bytes is cut to 255.
Frame BuildFrame(uint8_t delimiter, std::span<const uint8_t> address, uint8_t command,
                 std::span<const uint8_t> data);

// Header length (delimiter through byte count) for a delimiter, or 0 when the delimiter is not one
// a HART frame may start with (frame types 1, 2 and 6, asynchronous physical layer).
size_t HeaderLength(uint8_t delimiter);

// "ff ff 02 00 f9 00 fb": lower-case hex bytes separated by single spaces.
std::string HexBytes(std::span<const uint8_t> bytes);

} // namespace zelhart::sim

// The HART frame as the program builds requests and judges what comes back. No I/O here.
//
// Request:  6 x 0xFF preamble | delimiter | address (1 or 5) | command | byte count | data | check byte
// Response: delimiter | address (1 or 5) | command | byte count | response code | device status |
//           data | check byte           (no preamble; the byte count covers the two status bytes)
// The check byte is the exclusive-or of every byte from the delimiter through the last data byte.
#pragma once

#include "hart/commands.h"
#include "hart/fields.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zelhart::hart {

inline constexpr size_t kFrameBufferSize = 284;
inline constexpr size_t kPreambleLength = 6;
inline constexpr uint8_t kPreambleByte = 0xFF;
inline constexpr uint8_t kShortRequestDelimiter = 0x02;
inline constexpr uint8_t kLongRequestDelimiter = 0x82;
inline constexpr size_t kLongAddressLength = 5;

using LongAddress = std::array<uint8_t, kLongAddressLength>;
using FrameBuffer = std::array<uint8_t, kFrameBufferSize>;

uint8_t CheckByte(std::span<const uint8_t> bytes);

// Builds the request of `layout` into `out` (cleared first) and returns its length, preamble included.
// A short frame goes to polling address 0; a long frame to `address`. Values are matched in order to
// the layout's fields; missing or null values leave their bytes zero, surplus values are ignored.
// Throws FieldMismatch, before touching `out`, when a value does not fit its field.
size_t BuildRequestFrame(const CommandLayout& layout, bool shortFrame, const LongAddress& address,
                         std::span<const FieldValue> values, FrameBuffer& out);

// Throws FieldMismatch when a value or an out-pointer does not fit its field.
void CheckValuesFit(const CommandLayout& layout, std::span<const FieldValue> values);
void CheckOutputsFit(const CommandLayout& layout, std::span<const FieldOut> outs);

// Offsets within a received frame, by the form its delimiter (bit 7) gives.
struct ReplyOffsets {
    size_t command, byteCount, responseCode, deviceStatus, data;
};
ReplyOffsets OffsetsOf(uint8_t delimiter);

// What the engine makes of one received record of `count` bytes while waiting for `command`.
enum class ReplyVerdict {
    Nothing,     // no bytes: keep polling
    EndsAttempt, // busy (32) or a communication error (bit 7 set): `code` holds the byte
    Ignored,     // a burst frame or the answer to another command: keep polling
    Damaged,     // wrong check byte, or not a well-formed frame: note 192, keep polling
    Accepted,    // the answer; `code` holds the response code
};
ReplyVerdict JudgeReply(std::span<const uint8_t> frame, size_t count, uint8_t command, uint8_t& code);

} // namespace zelhart::hart

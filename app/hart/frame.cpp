#include "hart/frame.h"

namespace zelhart::hart {
namespace {

constexpr size_t kShortHeader = 4; // delimiter, address, command, byte count
constexpr size_t kLongHeader = 8;  // delimiter, 5 address bytes, command, byte count

} // namespace

uint8_t CheckByte(std::span<const uint8_t> bytes) {
    uint8_t x = 0;
    for (uint8_t b : bytes)
        x ^= b;
    return x;
}

void CheckValuesFit(const CommandLayout& layout, std::span<const FieldValue> values) {
    auto fields = layout.fields();
    for (size_t i = 0; i < fields.size() && i < values.size(); ++i)
        if (!values[i].Fits(fields[i])) throw FieldMismatch(i, fields[i]);
}

void CheckOutputsFit(const CommandLayout& layout, std::span<const FieldOut> outs) {
    auto fields = layout.fields();
    for (size_t i = 0; i < fields.size() && i < outs.size(); ++i)
        if (!outs[i].Fits(fields[i])) throw FieldMismatch(i, fields[i]);
}

size_t BuildRequestFrame(const CommandLayout& layout, bool shortFrame, const LongAddress& address,
                         std::span<const FieldValue> values, FrameBuffer& out) {
    CheckValuesFit(layout, values);
    out.fill(0);
    size_t n = 0;
    for (size_t i = 0; i < kPreambleLength; ++i)
        out[n++] = kPreambleByte;
    const size_t delimiterAt = n;
    if (shortFrame) {
        out[n++] = kShortRequestDelimiter;
        out[n++] = 0x00; // polling address 0, primary-master bit clear
    } else {
        out[n++] = kLongRequestDelimiter;
        for (uint8_t b : address)
            out[n++] = b;
    }
    out[n++] = layout.command;
    out[n++] = uint8_t(layout.DataSize());
    auto fields = layout.fields();
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i < values.size()) EncodeField(fields[i], values[i], std::span<uint8_t>(out).subspan(n));
        n += FieldSize(fields[i]);
    }
    out[n] = CheckByte(std::span<const uint8_t>(out).subspan(delimiterAt, n - delimiterAt));
    return n + 1;
}

ReplyOffsets OffsetsOf(uint8_t delimiter) {
    const size_t header = (delimiter & 0x80) ? kLongHeader : kShortHeader;
    return {header - 2, header - 1, header, header + 1, header + 2};
}

ReplyVerdict JudgeReply(std::span<const uint8_t> frame, size_t count, uint8_t command, uint8_t& code) {
    if (count == 0) return ReplyVerdict::Nothing;
    // A record that claims more bytes than it can hold, or fewer than a reply's header, status bytes
    // and check byte, is not a frame.
    if (count > frame.size()) return ReplyVerdict::Damaged;
    const ReplyOffsets at = OffsetsOf(frame[0]);
    if (count < at.data + 1) return ReplyVerdict::Damaged;

    const uint8_t rc = frame[at.responseCode];
    if (rc == kResponseBusy || (rc & 0x80)) {
        code = rc;
        return ReplyVerdict::EndsAttempt;
    }
    if ((frame[0] & 0x03) == 0x01) return ReplyVerdict::Ignored; // burst frame
    if (frame[at.command] != command) return ReplyVerdict::Ignored;
    if (CheckByte(frame.first(count - 1)) != frame[count - 1]) return ReplyVerdict::Damaged;
    // The byte count must account for exactly the bytes between it and the check byte.
    if (size_t(frame[at.byteCount]) != count - 1 - at.responseCode) return ReplyVerdict::Damaged;
    code = rc;
    return ReplyVerdict::Accepted;
}

} // namespace zelhart::hart

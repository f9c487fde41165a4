#include "zelhart/sim/slave_framer.h"

namespace zelhart::sim {

void SlaveFramer::Reset() {
    state_ = State::Hunting;
    preambles_ = 0;
    size_ = 0;
    want_ = 0;
}

std::optional<Frame> SlaveFramer::Feed(uint8_t byte, Clock::time_point now) {
    if (state_ != State::Hunting && now - last_ > gap_) {
        Discard(preambles_ + size_);
        Reset();
    }
    last_ = now;

    switch (state_) {
    case State::Hunting:
        if (byte == kPreamble) {
            preambles_ = 1;
            state_ = State::Preamble;
        } else {
            Discard(1);
        }
        return std::nullopt;

    case State::Preamble: {
        if (byte == kPreamble) {
            if (preambles_ < kMaxCountedPreambles) ++preambles_;
            return std::nullopt;
        }
        size_t header = HeaderLength(byte);
        if (preambles_ < kMinPreambles || header == 0) {
            Discard(preambles_ + 1);
            Reset();
            return std::nullopt;
        }
        buf_[0] = byte;
        size_ = 1;
        want_ = header - 1;
        state_ = State::Header;
        return std::nullopt;
    }

    case State::Header:
        buf_[size_++] = byte;
        if (--want_ > 0) return std::nullopt;
        want_ = static_cast<size_t>(byte) + 1; // the byte count: data and the check byte follow
        state_ = State::Body;
        return std::nullopt;

    case State::Body:
        buf_[size_++] = byte;
        if (--want_ > 0) return std::nullopt;
        break;
    }

    Frame frame;
    bool ok = frame.Assign(std::span<const uint8_t>(buf_.data(), size_));
    frame.setPreambles(preambles_);
    Reset();
    if (!ok) return std::nullopt; // cannot happen: the sections above follow the frame layout
    return frame;
}

} // namespace zelhart::sim

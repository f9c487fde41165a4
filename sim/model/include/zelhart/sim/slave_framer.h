// Cuts HART frames out of the byte stream a slave hears.
//
// The framer waits for at least two preambles, takes the delimiter (which fixes the header length),
// reads through the byte count, the data and the check byte, and hands out the frame. Anything that
// cannot start a frame is skipped; a pause longer than the gap inside a frame abandons it, so a frame
// cut short by the line does not swallow the next one. Memory is fixed: one frame buffer.
#pragma once

#include "zelhart/sim/hart_frame.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace zelhart::sim {

class SlaveFramer {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr size_t kMinPreambles = 2;
    static constexpr size_t kMaxCountedPreambles = 65535;
    static constexpr std::chrono::milliseconds kDefaultGap{100};

    explicit SlaveFramer(std::chrono::nanoseconds gap = kDefaultGap) : gap_(gap) {}

    // Feeds one byte received at `now`. Returns the frame it completed, if any. The frame's check
    // byte may be wrong (Frame::checkOk); a frame whose check byte is wrong is still a frame.
    std::optional<Frame> Feed(uint8_t byte, Clock::time_point now);

    void Reset();

    // Bytes that were not part of any frame (noise, cut frames), for diagnostics.
    uint64_t discardedBytes() const { return discarded_; }

private:
    enum class State { Hunting, Preamble, Header, Body };

    void Discard(size_t n) { discarded_ += n; }

    State state_ = State::Hunting;
    std::chrono::nanoseconds gap_;
    Clock::time_point last_{};
    size_t preambles_ = 0;
    std::array<uint8_t, kMaxFrameBytes> buf_{};
    size_t size_ = 0;
    size_t want_ = 0; // bytes the current section still needs
    uint64_t discarded_ = 0;
};

} // namespace zelhart::sim

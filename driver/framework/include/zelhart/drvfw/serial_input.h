// Received characters with their line status. The serial line is read with PARMRK, so the kernel
// marks a character that arrived with a parity or framing error (and a break) as 0xFF 0x00 c and
// doubles a genuine 0xFF; this decoder undoes that, one raw byte at a time, across reads.
#pragma once

#include <cstdint>
#include <deque>
#include <span>

namespace zelhart::drvfw {

struct SerialChar {
    uint8_t value = 0;
    bool lineError = false; // parity or framing error, or a break (value 0)
    friend bool operator==(const SerialChar&, const SerialChar&) = default;
};

class ParmrkDecoder {
  public:
    void Feed(std::span<const uint8_t> raw, std::deque<SerialChar>* out);
    void Reset() { state_ = State::Normal; }

  private:
    enum class State { Normal, AfterFF, ErrorChar };
    State state_ = State::Normal;
};

} // namespace zelhart::drvfw

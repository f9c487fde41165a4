// Echo suppression for modems that echo what they transmit. The characters of the frame just sent that
// come back from the start of its transmission until a bounded window after it has left the port are
// the master's own frame, not traffic on the bus: they never reach the receiver.
//
// Modes (the ECHO value of the service key): automatic (0) holds received characters back while they
// repeat the frame sent, drops them when the whole frame came back and gives them to the receiver, in
// order, at the first one that differs; on (1) takes the first as many characters as were sent as
// the echo whatever they are (a modem known to echo, its echo possibly garbled); off (2) passes
// everything. Platform-free: times are given in nanoseconds by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelhart::datalink {

enum class EchoMode : uint32_t { Automatic = 0, On = 1, Off = 2 };

class EchoFilter {
  public:
    struct Char {
        uint8_t value;
        bool lineError;
        friend bool operator==(const Char&, const Char&) = default;
    };

    void SetMode(EchoMode mode) { mode_ = mode; }
    EchoMode Mode() const { return mode_; }
    // A frame goes on the line: its echo is expected from now on. Characters still held back belong to
    // the exchange before and are dropped.
    void Transmitting(std::span<const uint8_t> frame);
    // The frame has left the port: its echo may come until nowNs + windowNs.
    void TransmitDone(int64_t nowNs, int64_t windowNs);
    // One received character; appends what the receiver gets to `out`. True when it completed an echo.
    bool Feed(uint8_t c, bool lineError, int64_t nowNs, std::vector<Char>* out);
    // Echoes suppressed since the filter was made.
    uint32_t EchoesSeen() const { return echoes_; }

  private:
    bool InWindow(int64_t nowNs) const { return !done_ || nowNs <= windowEndNs_; }
    void Release(std::vector<Char>* out);

    EchoMode mode_ = EchoMode::Automatic;
    std::vector<uint8_t> frame_;
    std::vector<Char> held_;
    size_t matched_ = 0; // characters of frame_ seen back
    bool armed_ = false; // an echo of frame_ may still start or is under way
    bool done_ = false;  // frame_ has left the port
    int64_t windowEndNs_ = 0;
    uint32_t echoes_ = 0;
};

} // namespace zelhart::datalink

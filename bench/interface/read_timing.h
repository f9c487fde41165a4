// Where the time of a device operation goes, from two logs: the timing shim's log of the program's
// calls into the interface library (timing_shim.cpp) and the simulator's frame log (--log).
//
// Per transaction (hart_open to the return of hart_close):
//   wire        the frames exchanged, 11 bits a character at 1200 baud, preambles included;
//   turnaround  the transmitter's reply delay (the simulator's setting);
//   quiet       the bus quiet time the data link waits for after each open;
//   poll wait   from the moment the library queued the answer to the hart_read that took it: the
//               caller polls every 40 ms;
//   remainder   what is left: the time our code adds.
// The paced simulator takes the line's time in both directions: a request handed over at once by the
// pseudo-terminal is heard only when its last character would have arrived at 1200 baud. So the line's
// time is the wire time of both directions, and the remainder is the total less that, the turnaround
// and the design's waits.
// No I/O here: the logs come in as text.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::bench {

using Ms = std::chrono::duration<double, std::milli>;

// One character on the line: start bit, eight data bits, parity, stop bit at 1200 baud.
inline constexpr double kCharacterMs = 11.0 * 1000.0 / 1200.0;

struct LoggedFrame {
    bool fromMaster = false; // "RX": heard by the transmitter; "TX": sent by it
    size_t bytes = 0;        // preambles included
};

// The simulator's frame log; lines that are not frames are an error (empty result with *error set).
std::vector<LoggedFrame> ParseFrameLog(std::string_view text, std::string* error);

struct ShimEvent {
    uint64_t callNs = 0;
    uint64_t returnNs = 0;
    std::string function; // open, configure, write, read, close, queued, ...
    uint32_t index = 0;
    int32_t result = 0;
    uint32_t length = 0;
};

std::vector<ShimEvent> ParseShimLog(std::string_view text, std::string* error);

struct TransactionTiming {
    Ms total{0};
    Ms wire{0};       // every frame of the exchange, both directions: the line's time
    Ms answerWire{0}; // the transmitter's frames (the rest of `wire` is the master's request)
    Ms turnaround{0};
    Ms quiet{0};
    std::optional<Ms> pollWait; // none when no answer was taken
    size_t frames = 0;
    Ms Remainder() const { return total - wire - turnaround - quiet - pollWait.value_or(Ms(0)); }
};

struct ReadTiming {
    std::vector<TransactionTiming> transactions;
    Ms span{0};        // first hart_open to the last hart_close
    bool framesMatch = true; // one request and one answer per transaction
};

// Splits the calls into transactions and puts the frames against them in order.
ReadTiming AnalyseRead(const std::vector<ShimEvent>& events, const std::vector<LoggedFrame>& frames, Ms quiet,
                       Ms turnaround);

// The report: one line per transaction and the totals, with ratios against the wire time.
std::string FormatReport(const ReadTiming& timing, Ms wallTime);

} // namespace zelhart::bench

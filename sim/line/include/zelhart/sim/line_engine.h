// The simulator's side of the line: what the transmitter hears, when each byte of what it says is
// due, and the traffic of others on the same pair of wires. No input or output of its own; the
// program feeds it received bytes and the time, and writes out the bytes that are due.
//
// Timing: an answer starts `turnaround` after the request's last byte. With pacing each character
// takes 11 bits at 1200 baud and is delivered when its stop bit ends; without pacing a frame goes
// out all at once. Frames never overlap: a frame waits until the line is free.
//
// With pacing the received bytes take the line's time as well: a pseudo-terminal hands over the
// master's request at once, but each byte is heard only when it would have arrived at the line rate,
// counted from the first byte's arrival. So a request is answered `turnaround` after its last
// character would have left the wire, and nothing starts while a request is still on the line.
#pragma once

#include "zelhart/sim/korvel_device.h"
#include "zelhart/sim/slave_framer.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::sim {

// One character at 1200 baud: start bit, eight data bits, parity, stop bit.
inline constexpr std::chrono::nanoseconds kCharacterTime{11'000'000'000LL / 1200};

struct LineSettings {
    bool pace = true;
    std::chrono::nanoseconds turnaround{std::chrono::milliseconds(5)};
    unsigned preambles = 5; // before every frame the simulator sends
    unsigned noise = 0;     // noise bytes before every frame the simulator sends
    std::chrono::milliseconds burstInterval{0};       // 0: burst mode off
    std::chrono::milliseconds otherMasterInterval{0}; // 0: no other master
    // Faults for the next requests to the transmitter.
    unsigned silent = 0;   // not heard at all
    unsigned badCheck = 0; // answered with a wrong check byte
};

// One fault or setting, as given on the command line ("--busy 2") or on the control channel
// ("busy 2").
struct Instruction {
    enum class Kind { Silent, BadCheck, Busy, Noise, Preambles, Turnaround, Burst, OtherMaster, Process };
    Kind kind = Kind::Silent;
    uint64_t number = 0;                   // counts, preambles, noise bytes, milliseconds
    std::chrono::milliseconds interval{0}; // burst, other-master: 0 means off
    float value = 0;                       // process
};

// Parses "word argument"; returns an empty text, or what is wrong with it.
std::string ParseInstruction(std::string_view line, Instruction& out);

// Applies the parts of an instruction that are settings (not busy, not process).
void ApplyToSettings(const Instruction& instruction, LineSettings& settings);

class LineEngine {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using LogSink = std::function<void(std::string_view line)>;

    static constexpr size_t kMaxQueuedBytes = 16384;

    LineEngine(KorvelDevice& device, const LineSettings& settings, TimePoint start);

    // "RX ff ff 02 00 f9 00 fb" for every frame heard, "TX ..." for every frame sent.
    void SetLogSink(LogSink sink) { log_ = std::move(sink); }

    // Bytes that arrived at `now`. Paced: heard at the line rate from `now` on (see Tick).
    void Receive(std::span<const uint8_t> bytes, TimePoint now);
    // Hears the received bytes that have arrived on the line by `now`, then starts the burst frames
    // and the other master's exchanges that are due.
    void Tick(TimePoint now);
    // Appends the bytes due by `now` to `out`. Returns how late the first of them is (0 when none).
    std::chrono::nanoseconds TakeDue(TimePoint now, std::vector<uint8_t>& out);
    // When something is next due: a byte to send or to hear, a burst frame or an exchange of the
    // other master.
    std::optional<TimePoint> NextWake() const;

    // Whether anyone listens on the line. Nobody listening: pending output is dropped and nobody
    // else talks.
    void SetListening(bool listening, TimePoint now);
    bool listening() const { return listening_; }

    // A run-time instruction, the same words as the command-line options without the dashes:
    // "silent N", "bad-check N", "busy N", "burst MS|off", "other-master MS|off", "noise N",
    // "preambles N", "turnaround MS", "process VALUE". Returns an empty text, or what is wrong.
    std::string Control(std::string_view line, TimePoint now);

    const LineSettings& settings() const { return settings_; }
    uint64_t droppedFrames() const { return dropped_; }
    // Received bytes beyond kMaxQueuedBytes still on the line (paced only): not heard.
    uint64_t droppedReceivedBytes() const { return droppedReceived_; }

private:
    struct Due {
        TimePoint at;
        uint8_t byte;
    };

    KorvelDevice::Uptime Uptime(TimePoint now) const { return now - start_; }
    void OnFrame(const Frame& frame, TimePoint now);
    // Queues a frame to start no earlier than `earliest`; returns when its last byte is due.
    TimePoint Send(const Frame& frame, TimePoint earliest, bool corruptCheck = false);
    bool LineIdle(TimePoint now) const { return lineFreeAt_ <= now && receivingUntil_ <= now; }
    void Hear(uint8_t byte, TimePoint at);
    void HearArrived(TimePoint now);
    void Log(const char* direction, size_t preambles, std::span<const uint8_t> frame);
    uint8_t NoiseByte();

    KorvelDevice& device_;
    LineSettings settings_;
    TimePoint start_;
    SlaveFramer framer_;
    LogSink log_;
    std::deque<Due> queue_;
    std::deque<Due> received_; // paced: bytes still on their way to the transmitter
    TimePoint lineFreeAt_{};
    TimePoint receivingUntil_{}; // paced: when the last received byte is through
    bool listening_ = true;
    std::optional<TimePoint> nextBurst_;
    std::optional<TimePoint> nextOtherMaster_;
    bool burstPrimary_ = true;
    bool lastMasterPrimary_ = false; // the master bit of the last request to the transmitter
    uint32_t noiseState_ = 0x2545F491;
    uint64_t dropped_ = 0;
    uint64_t droppedReceived_ = 0;
};

} // namespace zelhart::sim

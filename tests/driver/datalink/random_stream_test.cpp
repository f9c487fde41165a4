// Randomised traffic with fixed seeds: valid and corrupted frames of both masters and of bursting
// slaves, replies to this master's frames, noise, preamble floods, line errors and gaps, interleaved
// with writes, reads, mask changes, close and reopen, suspend and resume. Throughout, the simulated
// daemon checks that no buffer position leaves its buffer, that the queue keeps its bound, and that a
// write is never transmitted more than RetryCount + 1 times nor without being pending. When the line
// falls silent, the pending write must complete and the bus become free within a bounded time, from
// wherever the traffic left the machine.
#include "frames.h"
#include "sim_daemon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <random>
#include <set>

namespace zelhart::datalink::test {
namespace {

struct WireByte {
    uint8_t value;
    NTSTATUS status;
    int gapBefore; // ticks of silence before this byte
};

class Traffic {
  public:
    explicit Traffic(uint32_t seed) : rng_(seed) {}

    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool Chance(int percent) { return Uniform(1, 100) <= percent; }

    Bytes RandomFrame(uint8_t masterBit) {
        static constexpr uint8_t kDelimiters[] = {0x02, 0x06, 0x81, 0x82, 0x86};
        uint8_t delimiter = kDelimiters[Uniform(0, 4)];
        if (Chance(15)) delimiter |= static_cast<uint8_t>(Uniform(1, 3) << 5);
        if (Chance(5)) delimiter = static_cast<uint8_t>(Uniform(0, 254)); // mostly invalid
        uint8_t first = static_cast<uint8_t>(masterBit | (Chance(30) ? kBurst : 0) | Uniform(0, 0x3F));
        const Bytes address = (delimiter & 0x80) != 0
                                  ? LongAddress(first, static_cast<uint8_t>(Uniform(0x10, 0x13)))
                                  : Bytes{first};
        Bytes data(static_cast<size_t>(Chance(3) ? 255 : Uniform(0, 25)));
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(Uniform(0, 255));
        return Frame(delimiter, address, static_cast<uint8_t>(Uniform(0, 255)), data,
                     Bytes(static_cast<size_t>((delimiter >> 5) & 3), 0x00));
    }

    // One burst of line activity: a frame (maybe damaged), noise, or a preamble flood.
    void Append(std::deque<WireByte>& wire, const Bytes& frame, int gapBefore) {
        Bytes bytes = frame;
        const int kind = Uniform(1, 100);
        int preambles = Uniform(2, 8);
        if (kind <= 8)
            preambles = Uniform(0, 1);
        else if (kind <= 12)
            preambles = Uniform(249, 252);
        if (kind > 12 && kind <= 20) bytes = CorruptChecksum(bytes);
        if (kind > 20 && kind <= 26)
            bytes.resize(static_cast<size_t>(Uniform(0, static_cast<int>(bytes.size()))));
        if (kind > 26 && kind <= 30) {
            bytes.assign(static_cast<size_t>(Uniform(1, 12)), 0);
            for (uint8_t& b : bytes)
                b = static_cast<uint8_t>(Uniform(0, 255));
        }
        bytes = WithPreambles(preambles, bytes);
        const int errorAt = Chance(6) ? Uniform(0, static_cast<int>(bytes.size())) : -1;
        const int gapPercent = preambles > 200 ? 0 : 3; // a flood is one unbroken run
        for (size_t i = 0; i < bytes.size(); ++i) {
            int gap = i == 0 ? gapBefore : (Chance(100 - gapPercent) ? 0 : Uniform(1, 5));
            wire.push_back(
                {bytes[i], static_cast<int>(i) == errorAt ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, gap});
        }
    }

  private:
    std::mt19937 rng_;
};

struct EpisodeResult {
    std::string violation;
    int64_t settleTicks;
    int64_t bound;
    int writes;
    std::string state;
    std::set<std::string> statesSeen;
};

EpisodeResult RunEpisode(Traffic& t, bool trace) {
    SimDaemon::Settings s;
    s.RetryCount = static_cast<uint8_t>(t.Uniform(0, 3));
    s.MasterType = t.Chance(50) ? 0x80 : 0x00;
    s.ReadMask = static_cast<uint8_t>(t.Uniform(0, 255));
    s.Timings.RT1DIFF = static_cast<uint16_t>(t.Chance(50) ? 0 : t.Uniform(1, 10));
    s.Trace = trace;
    SimDaemon d(s);
    std::deque<WireByte> wire;
    const uint8_t thisMaster = s.MasterType, otherMaster = static_cast<uint8_t>(s.MasterType ^ 0x80);

    // This master's slave answers most transmissions, not always correctly.
    d.OnTransmit = [&](int64_t endsAt) {
        d.TransmitTicks = t.Uniform(1, 12);
        d.TransmitStatus = t.Chance(90) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        if (!wire.empty() || t.Chance(30)) return;
        const int delay = static_cast<int>(endsAt - d.Now()) + t.Uniform(2, 40);
        t.Append(wire,
                 t.Chance(80) ? Reply(thisMaster, static_cast<uint8_t>(t.Uniform(0x10, 0x13)), t.Chance(20))
                              : t.RandomFrame(thisMaster),
                 delay);
    };

    int silence = 0;
    int suspendFor = 0;
    const int ticks = t.Uniform(200, 2500);
    for (int tick = 0; tick < ticks && d.Violation().empty(); ++tick) {
        if (wire.empty() && t.Chance(4))
            t.Append(wire, t.RandomFrame(t.Chance(50) ? thisMaster : otherMaster), 0);
        // At about one character per tick, sometimes two.
        for (int n = t.Chance(10) ? 2 : 1; n > 0 && !wire.empty(); --n) {
            if (wire.front().gapBefore > silence) {
                ++silence;
                break;
            }
            d.Byte(wire.front().value, wire.front().status);
            wire.pop_front();
            silence = 0;
        }
        if (t.Chance(3)) d.PresentWrite();
        if (t.Chance(2)) d.ImmediateRead(static_cast<size_t>(t.Uniform(1, 300)));
        if (t.Chance(2)) d.PostRead(static_cast<size_t>(t.Uniform(1, 300)));
        if (t.Chance(1) && t.Chance(20)) d.SetReadMask(static_cast<uint8_t>(t.Uniform(0, 255)));
        if (t.Chance(1) && t.Chance(10)) d.CloseAndOpen();
        if (!d.Suspended() && t.Chance(1) && t.Chance(10)) {
            d.Suspend();
            suspendFor = t.Uniform(0, 300);
        }
        if (d.Suspended() && suspendFor-- <= 0) d.Resume();
        d.Tick();
    }

    // Silence: from any state the pending write ends and the bus is free again. The worst case is a
    // frame reception limit (1000) per attempt followed by an error restart (296) and the bus-busy wait
    // before the next transmission (RT1DIFF, quiet time 37), plus the restart after resume (200).
    const int64_t perAttempt = 1000 + 296 + 37 + 12 + 10 + 37;
    const int64_t bound = 200 + 1000 + 298 + (s.RetryCount + 1) * perAttempt;
    const int64_t settled = d.Violation().empty() ? d.Settle(bound) : 0;
    return {d.Violation(), settled, bound, d.WritesCompleted(), d.Describe(), d.StatesSeen};
}

TEST(RandomStream, NoOverrunNoDeadEndAndEveryWriteCompletes) {
    const auto start = std::chrono::steady_clock::now();
    int writes = 0;
    int episodes = 0;
    std::set<std::string> seen;
    for (uint32_t seed : {1u, 2u, 3u, 5u, 8u, 13u, 21u, 34u}) {
        Traffic t(seed);
        for (int e = 0; e < 40; ++e, ++episodes) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " episode " << e);
            const EpisodeResult r = RunEpisode(t, true);
            seen.insert(r.statesSeen.begin(), r.statesSeen.end());
            ASSERT_EQ(r.violation, "") << r.state;
            ASSERT_GE(r.settleTicks, 0) << "still busy after " << r.bound << " ticks of silence: " << r.state;
            writes += r.writes;
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GT(writes, episodes) << "the traffic exercised the write path";
    for (int i = 0; i < kMasterStateCount; ++i) {
        const char* name = MasterStateName(static_cast<MasterState>(i));
        if (seen.count(name) == 0) ADD_FAILURE() << "the traffic never reached " << name;
    }
    EXPECT_LT(elapsed, std::chrono::seconds(20));
}

} // namespace
} // namespace zelhart::datalink::test

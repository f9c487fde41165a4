// The line engine on a test clock: pacing, turnaround, faults, other traffic and the frame log.
#include "hart_test_util.h"
#include "zelhart/sim/line_engine.h"

#include <gtest/gtest.h>

namespace zelhart::sim {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using TimePoint = LineEngine::TimePoint;

const Bytes kIdentityRequest = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB};
// The transmitter's identity answer with five preambles (cold start in its status byte).
const std::string kIdentityAnswer = "ff ff ff ff ff 06 00 f9 0e 00 20 fe 99 fc 05 05 01 03 10 00 3a 5f 21 1c";

class Line : public ::testing::Test {
protected:
    void Make(LineSettings settings) {
        DeviceConfig c = FactoryConfig();
        c.drift = false;
        device.emplace(c);
        engine.emplace(*device, settings, t0);
        engine->SetLogSink([this](std::string_view line) { log.emplace_back(line); });
    }
    Bytes Take(TimePoint at) {
        Bytes out;
        engine->TakeDue(at, out);
        return out;
    }
    // Hands the bytes over at `at` and lets the line carry them: paced, the transmitter hears them
    // only when their last character would have arrived. Returns that time.
    TimePoint Hear(const Bytes& bytes, TimePoint at) {
        engine->Receive(bytes, at);
        if (!engine->settings().pace) return at;
        TimePoint end = at + static_cast<int64_t>(bytes.size()) * kCharacterTime;
        engine->Tick(end);
        return end;
    }
    // Everything the engine sends from now on, however long it takes.
    Bytes Drain(std::chrono::nanoseconds horizon = 1h) {
        Bytes out;
        while (auto t = engine->NextWake()) {
            if (*t > t0 + horizon) break;
            engine->Tick(*t);
            engine->TakeDue(*t, out);
            if (engine->NextWake() == t) break;
        }
        return out;
    }
    // The frames in a byte stream, as the framer cuts them.
    std::vector<Frame> Frames(const Bytes& bytes) {
        SlaveFramer framer;
        std::vector<Frame> frames;
        for (uint8_t b : bytes)
            if (auto f = framer.Feed(b, t0)) frames.push_back(*f);
        return frames;
    }

    TimePoint t0 = TimePoint{} + 1000s;
    std::optional<KorvelDevice> device;
    std::optional<LineEngine> engine;
    std::vector<std::string> log;
};

TEST_F(Line, PacedRequestIsHeardWhenItsLastCharacterArrives) {
    Make({});
    engine->Receive(kIdentityRequest, t0); // eleven characters handed over at once
    EXPECT_EQ(engine->NextWake(), t0 + kCharacterTime);
    TimePoint end = t0 + 11 * kCharacterTime;
    engine->Tick(end - 1ns);
    EXPECT_TRUE(log.empty()) << "the last character is still on the line";
    EXPECT_TRUE(Take(end - 1ns).empty());
    EXPECT_EQ(engine->NextWake(), end);
    engine->Tick(end);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(engine->NextWake(), end + 5ms + kCharacterTime);
}

TEST_F(Line, RequestsArrivingTogetherQueueOnTheLine) {
    Make({});
    engine->Receive(Bytes(kIdentityRequest.begin(), kIdentityRequest.begin() + 4), t0);
    engine->Receive(Bytes(kIdentityRequest.begin() + 4, kIdentityRequest.end()), t0 + 1ms);
    engine->Tick(t0 + 11 * kCharacterTime - 1ns);
    EXPECT_TRUE(log.empty()) << "the second part queues behind the first on the line";
    engine->Tick(t0 + 11 * kCharacterTime);
    EXPECT_EQ(log.size(), 2u);
}

TEST_F(Line, PacedAnswerTakesElevenBitsPerCharacterAfterTheTurnaround) {
    Make({});
    TimePoint start = Hear(kIdentityRequest, t0) + 5ms;
    ASSERT_EQ(engine->NextWake(), start + kCharacterTime);
    EXPECT_TRUE(Take(start + kCharacterTime - 1ns).empty());
    EXPECT_EQ(HexBytes(Take(start + kCharacterTime)), "ff");
    EXPECT_EQ(Take(start + 24 * kCharacterTime - 1ns).size(), 22u);
    Bytes last = Take(start + 24 * kCharacterTime);
    EXPECT_EQ(HexBytes(last), "1c");
    EXPECT_FALSE(engine->NextWake());
    EXPECT_EQ(kCharacterTime.count(), 9166666);
}

TEST_F(Line, UnpacedAnswerIsDueAtOnce) {
    LineSettings s;
    s.pace = false;
    s.turnaround = 0ms;
    Make(s);
    engine->Receive(kIdentityRequest, t0);
    EXPECT_EQ(HexBytes(Take(t0)), kIdentityAnswer);
}

TEST_F(Line, FrameLogHasOneLinePerFrameWithPreamblesAsOnTheLine) {
    Make({});
    Hear(Cat({{0x12, 0x34}, kIdentityRequest}), t0);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "RX ff ff ff ff ff ff 02 00 f9 00 fb");
    EXPECT_EQ(log[1], "TX " + kIdentityAnswer);
}

TEST_F(Line, AFrameNotForTheTransmitterIsLoggedButNotAnswered) {
    Make({});
    Hear(Cat({{0xFF, 0xFF}, RequestBytes(13, {}, {0x19, 0xFC, 0, 0, 9})}), t0);
    EXPECT_EQ(log.size(), 1u);
    EXPECT_FALSE(engine->NextWake());
}

TEST_F(Line, SilenceForTheNextRequests) {
    LineSettings s;
    s.silent = 2;
    Make(s);
    for (int i = 0; i < 2; ++i) {
        Hear(kIdentityRequest, t0 + i * 1s);
        EXPECT_FALSE(engine->NextWake());
    }
    Hear(kIdentityRequest, t0 + 2s);
    EXPECT_TRUE(engine->NextWake());
    EXPECT_EQ(log.size(), 4u); // three RX, one TX
}

TEST_F(Line, WrongCheckByteOnTheNextAnswers) {
    LineSettings s;
    s.badCheck = 1;
    s.pace = false;
    s.turnaround = 0ms;
    Make(s);
    engine->Receive(kIdentityRequest, t0);
    auto first = Frames(Take(t0));
    engine->Receive(kIdentityRequest, t0 + 1s);
    auto second = Frames(Take(t0 + 1s));
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_FALSE(first[0].checkOk());
    EXPECT_TRUE(second[0].checkOk());
}

TEST_F(Line, NoiseBeforeEveryFrameAndItsPreambleCount) {
    LineSettings s;
    s.noise = 7;
    s.preambles = 2;
    s.pace = false;
    s.turnaround = 0ms;
    Make(s);
    engine->Receive(kIdentityRequest, t0);
    Bytes out = Take(t0);
    ASSERT_EQ(out.size(), 7u + 2u + 19u);
    for (size_t i = 0; i < 7; ++i) EXPECT_NE(out[i], 0xFF);
    EXPECT_EQ(out[7], 0xFF);
    EXPECT_EQ(out[8], 0xFF);
    EXPECT_EQ(out[9], 0x06);
    EXPECT_EQ(log.back().substr(0, 12), "TX ff ff 06 "); // noise is not a frame
}

TEST_F(Line, AnswersNeverOverlap) {
    Make({});
    engine->Receive(kIdentityRequest, t0);
    engine->Receive(kIdentityRequest, t0 + 1ms); // while the first answer is still on the line
    Bytes out = Drain();
    EXPECT_EQ(Frames(out).size(), 2u);
    EXPECT_EQ(out.size(), 48u);
}

TEST_F(Line, BurstFramesAlternateTheMasterBitAndAnswersCarryTheBurstBit) {
    LineSettings s;
    s.burstInterval = 100ms;
    s.pace = false;
    s.turnaround = 0ms;
    Make(s);
    EXPECT_EQ(engine->NextWake(), t0 + 100ms);
    engine->Tick(t0 + 100ms);
    engine->Tick(t0 + 200ms);
    Bytes out = Take(t0 + 200ms);
    auto frames = Frames(out);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].delimiter(), 0x81);
    EXPECT_EQ(frames[0].address()[0], 0xD9);
    EXPECT_EQ(frames[1].address()[0], 0x59);
    engine->Receive(kIdentityRequest, t0 + 250ms);
    auto answer = Frames(Take(t0 + 250ms));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].address()[0], 0x40);
}

TEST_F(Line, ABurstWaitsForTheLineToBeFree) {
    LineSettings s;
    s.burstInterval = 10ms;
    Make(s);
    engine->Receive(kIdentityRequest, t0 + 5ms);
    engine->Tick(t0 + 10ms); // the request is on the line, then the answer is sent
    Bytes out = Drain(1s);
    auto frames = Frames(out);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].delimiter(), 0x06);
    EXPECT_EQ(frames[1].delimiter(), 0x81);
}

TEST_F(Line, AnotherMastersExchangeUsesTheOtherMasterBit) {
    LineSettings s;
    s.otherMasterInterval = 50ms;
    s.pace = false;
    s.turnaround = 0ms;
    Make(s);
    engine->Control("busy 1", t0);
    engine->Tick(t0 + 50ms);
    auto frames = Frames(Take(t0 + 50ms));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].delimiter(), 0x82);
    EXPECT_EQ(frames[0].address()[0], 0x99); // primary: our master is secondary
    EXPECT_EQ(frames[0].command(), 3);
    EXPECT_EQ(frames[1].delimiter(), 0x86);
    EXPECT_EQ(frames[1].address()[0], 0x99);
    EXPECT_EQ(frames[1].data()[0], 0); // the busy answer is kept for our master
    EXPECT_EQ(device->busy(), 1u);
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].substr(0, 3), "TX ");
}

TEST_F(Line, AnotherMasterIsTheOneOurMasterIsNot) {
    LineSettings s;
    s.otherMasterInterval = 50ms;
    s.pace = false;
    s.turnaround = 0ms;
    Make(s);
    Bytes primary = Cat({{0xFF, 0xFF}, RequestBytes(13, {}, {0x99, 0xFC, 0x3A, 0x5F, 0x21})});
    engine->Receive(primary, t0);
    Take(t0);
    engine->Tick(t0 + 50ms);
    auto frames = Frames(Take(t0 + 50ms));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].address()[0], 0x19);
}

TEST_F(Line, WithNobodyListeningNothingIsSent) {
    LineSettings s;
    s.burstInterval = 10ms;
    Make(s);
    engine->Receive(kIdentityRequest, t0);
    engine->SetListening(false, t0 + 1ms);
    EXPECT_FALSE(engine->NextWake());
    engine->Tick(t0 + 1s);
    EXPECT_TRUE(Take(t0 + 2s).empty());
    engine->SetListening(true, t0 + 2s);
    EXPECT_EQ(engine->NextWake(), t0 + 2s + 10ms);
}

TEST_F(Line, AFloodOfRequestsIsBounded) {
    Make({});
    Bytes flood;
    for (int i = 0; i < 2000; ++i) flood.insert(flood.end(), kIdentityRequest.begin(), kIdentityRequest.end());
    engine->Receive(flood, t0);
    EXPECT_GT(engine->droppedReceivedBytes(), 0u) << "more than the line holds is not heard";
    Bytes out = Drain();
    EXPECT_GT(engine->droppedFrames(), 0u) << "answers pile up faster than the line sends them";
    EXPECT_LE(out.size(), (LineEngine::kMaxQueuedBytes / kIdentityRequest.size() + 1) * 24u)
        << "no more answers than requests heard";
}

TEST_F(Line, ControlInstructions) {
    Make({});
    EXPECT_EQ(engine->Control("busy 2", t0), "");
    EXPECT_EQ(device->busy(), 2u);
    EXPECT_EQ(engine->Control("  silent 3 ", t0), "");
    EXPECT_EQ(engine->settings().silent, 3u);
    EXPECT_EQ(engine->Control("preambles 300", t0), "");
    EXPECT_EQ(engine->settings().preambles, 300u);
    EXPECT_EQ(engine->Control("burst 250", t0), "");
    EXPECT_TRUE(device->burstMode());
    EXPECT_EQ(engine->NextWake(), t0 + 250ms);
    EXPECT_EQ(engine->Control("burst off", t0), "");
    EXPECT_FALSE(device->burstMode());
    EXPECT_EQ(engine->Control("process 80.5", t0), "");
    EXPECT_FLOAT_EQ(device->config().processValue, 80.5f);

    for (const char* bad : {"busy", "busy x", "busy -1", "busy 1000001", "burst 0", "burst sometimes",
                            "preambles 1001", "noise 256", "turnaround 10001", "process nan",
                            "process 1e9", "frobnicate 1", ""}) {
        EXPECT_NE(engine->Control(bad, t0), "") << bad;
    }
    EXPECT_EQ(device->busy(), 2u);
}

} // namespace
} // namespace zelhart::sim

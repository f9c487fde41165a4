// Frames, packed ASCII and the slave-side framer.
#include "hart_test_util.h"
#include "zelhart/sim/packed_ascii.h"
#include "zelhart/sim/slave_framer.h"

#include <gtest/gtest.h>

namespace zelhart::sim {
namespace {

using namespace testing;
using namespace std::chrono_literals;

TEST(HartFrame, IdentityRequestIsTheProgramsElevenBytes) {
    Frame f = BuildFrame(0x02, Bytes{0x00}, 249, {});
    EXPECT_EQ(HexBytes(f.bytes()), "02 00 f9 00 fb");
    EXPECT_TRUE(f.checkOk());
    EXPECT_EQ(f.type(), FrameType::Request);
    EXPECT_FALSE(f.isLong());
    EXPECT_EQ(f.command(), 249);
}

TEST(HartFrame, AssignRejectsBytesThatAreNotOneFrame) {
    Frame f;
    EXPECT_FALSE(f.Assign(Bytes{}));
    EXPECT_FALSE(f.Assign(Bytes{0x02, 0x00, 0xF9, 0x01, 0xFB}));       // byte count says one more
    EXPECT_FALSE(f.Assign(Bytes{0x02, 0x00, 0xF9, 0x00, 0xFB, 0x00})); // one too many
    EXPECT_FALSE(f.Assign(Bytes{0x05, 0x00, 0xF9, 0x00, 0xFC}));       // frame type 5
    EXPECT_FALSE(f.Assign(Bytes{0x0A, 0x00, 0xF9, 0x00, 0xF3}));       // other physical layer
    Bytes tooLong(kMaxFrameBytes + 1, 0);
    EXPECT_FALSE(f.Assign(tooLong));
}

TEST(HartFrame, LongFrameWithExpansionBytesAndCheckError) {
    // 0xA2: one expansion byte.
    Bytes b = {0xA2, 0x19, 0xFC, 0x3A, 0x5F, 0x21, 0x77, 13, 0};
    b.push_back(CheckByte(b));
    Frame f = MakeFrame(b);
    EXPECT_TRUE(f.isLong());
    EXPECT_EQ(f.expansionLength(), 1u);
    EXPECT_EQ(f.command(), 13);
    EXPECT_TRUE(f.data().empty());
    b.back() ^= 1;
    EXPECT_FALSE(MakeFrame(b).checkOk());
}

TEST(HartFrame, BuildCutsDataAt255Bytes) {
    Bytes data(300, 0x55);
    Frame f = BuildFrame(0x82, kLongAddress, 200, data);
    EXPECT_EQ(f.byteCount(), 255);
    EXPECT_EQ(f.size(), kMaxFrameBytes - 3); // no expansion bytes
    EXPECT_TRUE(f.checkOk());
}

TEST(PackedAscii, TagAbcIsUpperCasedAndPadded) {
    EXPECT_EQ(HexBytes(PackAscii("abc", 8)), "04 20 e0 82 08 20");
    EXPECT_EQ(UnpackAscii(PackAscii("abc", 8)), "ABC     ");
}

TEST(PackedAscii, RoundTripOfTheWholeCharacterSet) {
    std::string all;
    for (int c = 32; c < 96; ++c) all.push_back(static_cast<char>(c));
    std::string back;
    for (size_t i = 0; i < all.size(); i += 16) back += UnpackAscii(PackAscii(all.substr(i, 16), 16));
    EXPECT_EQ(back, all);
    EXPECT_TRUE(IsPackable("TT-101 @_"));
    EXPECT_FALSE(IsPackable("a{b"));
    EXPECT_FALSE(IsPackable("\x01"));
    EXPECT_EQ(UnpackAscii(PackAscii("LONGER THAN EIGHT", 8)), "LONGER T");
}

// The framer, fed from a table of labelled byte strings.
struct FramerCase {
    const char* label;
    Bytes stream;
    std::vector<std::string> frames; // hex of each frame handed out, in order
    std::vector<bool> checkOk;
};

std::vector<FramerCase> FramerCases() {
    Bytes identity = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB};
    Bytes badCheck = {0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFA};
    Bytes onePreamble = {0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB};
    Bytes ack = {0xFF, 0xFF, 0x06, 0x80, 0x00, 0x00, 0x86};
    Bytes withExpansion = {0xFF, 0xFF, 0xA2, 0x19, 0xFC, 0x3A, 0x5F, 0x21, 0x77, 13, 0};
    withExpansion.push_back(CheckByte(std::span<const uint8_t>(withExpansion).subspan(2)));
    return {
        {"identity request", identity, {"02 00 f9 00 fb"}, {true}},
        {"two preambles are enough", {0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB}, {"02 00 f9 00 fb"}, {true}},
        {"one preamble is not", onePreamble, {}, {}},
        {"wrong check byte still a frame", badCheck, {"02 00 f9 00 fa"}, {false}},
        {"garbage before", Cat({{0x00, 0x13, 0xFF, 0x55, 0xAA, 0xFE}, identity}), {"02 00 f9 00 fb"}, {true}},
        {"invalid delimiter then a frame", Cat({{0xFF, 0xFF, 0x05, 0x01}, identity}), {"02 00 f9 00 fb"}, {true}},
        {"reply frame of a slave", ack, {"06 80 00 00 86"}, {true}},
        {"expansion byte", withExpansion, {"a2 19 fc 3a 5f 21 77 0d 00 79"}, {true}},
        {"two frames back to back", Cat({identity, ack}), {"02 00 f9 00 fb", "06 80 00 00 86"}, {true, true}},
        {"noise between frames", Cat({identity, {0x12, 0x34}, identity}), {"02 00 f9 00 fb", "02 00 f9 00 fb"},
         {true, true}},
    };
}

TEST(SlaveFramer, CutsFramesOutOfTheByteStream) {
    for (const auto& c : FramerCases()) {
        SCOPED_TRACE(c.label);
        SlaveFramer framer;
        auto t = SlaveFramer::Clock::time_point{} + 1s;
        std::vector<std::string> got;
        std::vector<bool> ok;
        for (uint8_t b : c.stream)
            if (auto f = framer.Feed(b, t)) {
                got.push_back(HexBytes(f->bytes()));
                ok.push_back(f->checkOk());
            }
        EXPECT_EQ(got, c.frames);
        EXPECT_EQ(ok, c.checkOk);
    }
}

TEST(SlaveFramer, CountsPreamblesAsReceived) {
    SlaveFramer framer;
    auto t = SlaveFramer::Clock::time_point{};
    std::optional<Frame> f;
    for (uint8_t b : Bytes{0x11, 0xFF, 0x22, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB})
        if (auto g = framer.Feed(b, t)) f = g;
    ASSERT_TRUE(f);
    EXPECT_EQ(f->preambles(), 3u);
    EXPECT_EQ(framer.discardedBytes(), 3u); // 11, the lone ff and 22
}

TEST(SlaveFramer, LongestFrameAndEndlessPreambles) {
    SlaveFramer framer;
    auto t = SlaveFramer::Clock::time_point{};
    for (int i = 0; i < 100000; ++i) EXPECT_FALSE(framer.Feed(0xFF, t));
    Bytes frame = {0xE2, 0x19, 0xFC, 0x3A, 0x5F, 0x21, 1, 2, 3, 13, 255};
    frame.resize(frame.size() + 255, 0x5A);
    frame.push_back(CheckByte(frame));
    ASSERT_EQ(frame.size(), kMaxFrameBytes);
    std::optional<Frame> f;
    for (uint8_t b : frame) f = framer.Feed(b, t);
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->checkOk());
    EXPECT_EQ(f->byteCount(), 255);
    EXPECT_EQ(f->preambles(), SlaveFramer::kMaxCountedPreambles);
}

TEST(SlaveFramer, PauseInsideAFrameAbandonsIt) {
    SlaveFramer framer(50ms);
    auto t = SlaveFramer::Clock::time_point{};
    Bytes cut = {0xFF, 0xFF, 0x82, 0x19, 0xFC};
    for (uint8_t b : cut) EXPECT_FALSE(framer.Feed(b, t));
    t += 60ms;
    std::optional<Frame> f;
    for (uint8_t b : Bytes{0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB}) f = framer.Feed(b, t);
    ASSERT_TRUE(f);
    EXPECT_EQ(HexBytes(f->bytes()), "02 00 f9 00 fb");

    // The same cut frame without the pause swallows the next bytes instead.
    SlaveFramer eager(50ms);
    std::optional<Frame> g;
    for (uint8_t b : Cat({cut, {0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB}}))
        if (auto h = eager.Feed(b, t)) g = h;
    EXPECT_FALSE(g && HexBytes(g->bytes()) == "02 00 f9 00 fb");
}

} // namespace
} // namespace zelhart::sim

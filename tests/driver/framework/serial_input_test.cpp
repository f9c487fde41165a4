#include "zelhart/drvfw/serial_input.h"

#include <gtest/gtest.h>

#include <vector>

using namespace zelhart::drvfw;

namespace {

struct Case {
    const char* label;
    std::vector<uint8_t> raw;
    std::vector<SerialChar> expected;
};

} // namespace

TEST(ParmrkDecoder, UndoesTheKernelsMarks) {
    const Case cases[] = {
        {"plain bytes", {0x02, 0x80, 0x00}, {{0x02, false}, {0x80, false}, {0x00, false}}},
        {"a doubled 0xFF is one preamble byte",
         {0xFF, 0xFF, 0xFF, 0xFF, 0x06},
         {{0xFF, false}, {0xFF, false}, {0x06, false}}},
        {"parity error", {0x06, 0xFF, 0x00, 0x82}, {{0x06, false}, {0x82, true}}},
        {"break", {0xFF, 0x00, 0x00}, {{0x00, true}}},
        {"0xFF with an error", {0xFF, 0x00, 0xFF}, {{0xFF, true}}},
        {"unknown mark kept as it came", {0xFF, 0x41}, {{0xFF, false}, {0x41, false}}},
    };
    for (const auto& c : cases) {
        ParmrkDecoder d;
        std::deque<SerialChar> out;
        d.Feed(c.raw, &out);
        EXPECT_EQ(std::vector<SerialChar>(out.begin(), out.end()), c.expected) << c.label;
    }
}

TEST(ParmrkDecoder, MarksSplitAcrossReadsAreJoined) {
    ParmrkDecoder d;
    std::deque<SerialChar> out;
    const uint8_t raw[] = {0x06, 0xFF, 0x00, 0x55, 0xFF, 0xFF};
    for (uint8_t b : raw)
        d.Feed(std::span(&b, 1), &out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out[1].lineError);
    EXPECT_EQ(out[1].value, 0x55);
    EXPECT_EQ(out[2].value, 0xFF);
    EXPECT_FALSE(out[2].lineError);
    // A purge in the middle of a mark forgets it.
    const uint8_t half[] = {0xFF};
    d.Feed(half, &out);
    d.Reset();
    const uint8_t next[] = {0x00};
    out.clear();
    d.Feed(next, &out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(out[0].lineError);
}

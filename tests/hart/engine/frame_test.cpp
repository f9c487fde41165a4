// Request frames byte for byte, and how received records are judged.
#include "hart/frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelhart::hart {
namespace {

std::vector<uint8_t> Build(CommandIndex index, std::initializer_list<FieldValue> values,
                           const LongAddress& address = {}) {
    const auto& layout = RequestLayout(index);
    FrameBuffer frame;
    size_t n = BuildRequestFrame(layout, UsesShortFrame(layout.command), address,
                                 std::span<const FieldValue>(values.begin(), values.size()), frame);
    return {frame.begin(), frame.begin() + n};
}

TEST(RequestFrame, IdentityRequest) {
    EXPECT_EQ(Build(CommandIndex::IdentifyDevice, {}),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB}));
}

TEST(RequestFrame, WriteTagCarriesPackedTextsAndDate) {
    uint8_t day = 17, month = 5, year = 124;
    auto frame = Build(CommandIndex::WriteTagDescriptorDate, {"abc", "", &day, &month, &year},
                       {0x19, 0xFC, 0x00, 0x00, 0x01});
    ASSERT_EQ(frame.size(), 6u + 8 + 21 + 1);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 6, frame.begin() + 14),
              (std::vector<uint8_t>{0x82, 0x19, 0xFC, 0x00, 0x00, 0x01, 18, 21}));
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 14, frame.begin() + 20),
              (std::vector<uint8_t>{0x04, 0x20, 0xE0, 0x82, 0x08, 0x20}));
    // An empty descriptor is sent as 16 spaces.
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 20, frame.begin() + 32),
              (std::vector<uint8_t>{0x82, 0x08, 0x20, 0x82, 0x08, 0x20, 0x82, 0x08, 0x20, 0x82, 0x08, 0x20}));
    EXPECT_EQ(frame[32], 17);
    EXPECT_EQ(frame[33], 5);
    EXPECT_EQ(frame[34], 124);
}

TEST(RequestFrame, ValuesNotSuppliedStayZeroAndSurplusValuesAreIgnored) {
    float upper = 100.0f;
    uint8_t units = 32, extra = 9;
    auto frame = Build(CommandIndex::WriteRangeValues, {&units, &upper, nullptr, &extra});
    ASSERT_EQ(frame.size(), 6u + 8 + 9 + 1);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 14, frame.begin() + 23),
              (std::vector<uint8_t>{32, 0x42, 0xC8, 0, 0, 0, 0, 0, 0}));
}

TEST(RequestFrame, MismatchedValueIsRefusedBeforeAnythingIsWritten) {
    float f = 1;
    FrameBuffer frame;
    frame.fill(0x77);
    FieldValue values[] = {&f};
    EXPECT_THROW(BuildRequestFrame(RequestLayout(CommandIndex::WritePvUnits), false, {}, values, frame),
                 FieldMismatch);
    EXPECT_EQ(frame[0], 0x77);
}

// A reply frame from its parts, check byte appended.
std::vector<uint8_t> Reply(uint8_t delimiter, std::vector<uint8_t> address, uint8_t cmd, uint8_t rc,
                           uint8_t status, std::vector<uint8_t> data) {
    std::vector<uint8_t> f{delimiter};
    f.insert(f.end(), address.begin(), address.end());
    f.push_back(cmd);
    f.push_back(uint8_t(2 + data.size()));
    f.push_back(rc);
    f.push_back(status);
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(CheckByte(f));
    return f;
}

ReplyVerdict Judge(const std::vector<uint8_t>& f, uint8_t cmd, uint8_t& code, size_t count = SIZE_MAX) {
    FrameBuffer buffer{};
    std::copy(f.begin(), f.begin() + std::min(f.size(), buffer.size()), buffer.begin());
    return JudgeReply(buffer, count == SIZE_MAX ? f.size() : count, cmd, code);
}

TEST(ReplyJudging, WellFormedAnswersOfBothFormsAreAccepted) {
    uint8_t code = 99;
    EXPECT_EQ(Judge(Reply(0x06, {0x00}, 249, 0, 0x40, {0xFE, 1, 2}), 249, code), ReplyVerdict::Accepted);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Judge(Reply(0x86, {0x19, 0xFC, 1, 2, 3}, 13, 8, 0, {1}), 13, code), ReplyVerdict::Accepted);
    EXPECT_EQ(code, 8);
}

TEST(ReplyJudging, DecisionsInTheirOrder) {
    const std::vector<uint8_t> addr{0x19, 0xFC, 1, 2, 3};
    uint8_t code = 0;
    EXPECT_EQ(Judge({}, 13, code, 0), ReplyVerdict::Nothing);
    EXPECT_EQ(Judge(Reply(0x86, addr, 13, 32, 0, {}), 13, code), ReplyVerdict::EndsAttempt);
    EXPECT_EQ(code, 32);
    EXPECT_EQ(Judge(Reply(0x86, addr, 13, 0x90, 0, {}), 13, code), ReplyVerdict::EndsAttempt);
    EXPECT_EQ(code, 0x90);
    // Busy ends the attempt even when it answers another command: the line is taken either way.
    EXPECT_EQ(Judge(Reply(0x86, addr, 15, 32, 0, {}), 13, code), ReplyVerdict::EndsAttempt);
    EXPECT_EQ(Judge(Reply(0x81, addr, 13, 0, 0, {1, 2}), 13, code), ReplyVerdict::Ignored);
    EXPECT_EQ(Judge(Reply(0x01, {0}, 13, 0, 0, {1, 2}), 13, code), ReplyVerdict::Ignored);
    EXPECT_EQ(Judge(Reply(0x86, addr, 15, 0, 0, {1, 2}), 13, code), ReplyVerdict::Ignored);
    auto bad = Reply(0x86, addr, 13, 0, 0, {1, 2});
    bad.back() ^= 0x01;
    EXPECT_EQ(Judge(bad, 13, code), ReplyVerdict::Damaged);
}

TEST(ReplyJudging, MalformedRecordsAreDamagedNotRead) {
    const std::vector<uint8_t> addr{0x19, 0xFC, 1, 2, 3};
    uint8_t code = 0;
    // Byte count that disagrees with the length, with a check byte that matches the bytes.
    auto f = Reply(0x86, addr, 13, 0, 0, {1, 2, 3});
    f[7] = 3;
    f.back() = CheckByte(std::span<const uint8_t>(f).first(f.size() - 1));
    EXPECT_EQ(Judge(f, 13, code), ReplyVerdict::Damaged);
    // Too short to hold the header, the status bytes and the check byte.
    EXPECT_EQ(Judge({0x86, 0x19, 0xFC, 1, 2, 3, 13, 2, 0, 0}, 13, code), ReplyVerdict::Damaged);
    EXPECT_EQ(Judge({0x06, 0x00, 13}, 13, code), ReplyVerdict::Damaged);
    // No status byte, yet a byte count and a check byte that agree with the bytes: still too short.
    for (std::vector<uint8_t> shortReply : {std::vector<uint8_t>{0x06, 0x00, 13, 1, 0},
                                            std::vector<uint8_t>{0x86, 0x19, 0xFC, 1, 2, 3, 13, 1, 0}}) {
        shortReply.push_back(CheckByte(shortReply));
        EXPECT_EQ(Judge(shortReply, 13, code), ReplyVerdict::Damaged) << int(shortReply[0]);
    }
    // A record that claims more bytes than the buffer holds.
    EXPECT_EQ(Judge(Reply(0x86, addr, 13, 0, 0, {}), 13, code, kFrameBufferSize + 1), ReplyVerdict::Damaged);
    // The largest frame a byte count can describe still fits, and is judged on its content.
    std::vector<uint8_t> big(253, 0x11);
    EXPECT_EQ(Judge(Reply(0x86, addr, 13, 0, 0, big), 13, code), ReplyVerdict::Accepted);
}

} // namespace
} // namespace zelhart::hart

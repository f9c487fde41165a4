#include "zelhart/hartip/message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelhart::hartip {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HartIpHeader, EncodesBigEndianAndDecodesBack) {
    const Header header{2, 1, 3, 8, 0x1234, 0x00AB};
    const auto bytes = EncodeHeader(header);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{2, 1, 3, 8, 0x12, 0x34, 0x00, 0xAB}));
    EXPECT_EQ(DecodeHeader(bytes), header);
    EXPECT_FALSE(DecodeHeader(std::span(bytes).first(7)));
}

TEST(HartIpMessage, EncodeSetsTheByteCountAndDecodeReturnsTheBody) {
    const Bytes body{0xAA, 0xBB, 0xCC};
    const Bytes wire = Encode(Header{1, 0, 3, 0, 7, 0}, body);
    EXPECT_EQ(wire, (Bytes{1, 0, 3, 0, 0, 7, 0, 11, 0xAA, 0xBB, 0xCC}));
    Message message;
    ASSERT_EQ(Decode(wire, message), DecodeError::None);
    EXPECT_EQ(message.header.sequence, 7);
    EXPECT_EQ(message.body, body);
    // A body beyond the limit is never sent whole.
    EXPECT_EQ(Encode(Header{}, Bytes(kMaxBodySize + 10, 0)).size(), kMaxMessageSize);
}

TEST(HartIpMessage, DecodeChecksEveryLength) {
    struct Case {
        const char* name;
        Bytes wire;
        DecodeError expected;
    };
    const Case cases[] = {
        {"empty", {}, DecodeError::ShortHeader},
        {"seven bytes", {1, 0, 0, 0, 0, 1, 0}, DecodeError::ShortHeader},
        {"byte count 7", {1, 0, 0, 0, 0, 1, 0, 7}, DecodeError::ByteCountTooSmall},
        {"byte count 0", {1, 0, 0, 0, 0, 1, 0, 0}, DecodeError::ByteCountTooSmall},
        {"count beyond datagram", {1, 0, 0, 0, 0, 1, 0, 13, 1, 0, 0}, DecodeError::ByteCountBeyond},
        {"trailing bytes", {1, 0, 2, 0, 0, 1, 0, 8, 0xEE}, DecodeError::TrailingBytes},
        {"oversize", {1, 0, 3, 0, 0, 1, 0xFF, 0xFF}, DecodeError::TooLarge},
        {"just too large", {1, 0, 3, 0, 0, 1, 0x01, static_cast<std::uint8_t>(kMaxMessageSize - 255)},
         DecodeError::TooLarge},
        {"keep-alive", {1, 0, 2, 0, 0, 1, 0, 8}, DecodeError::None},
        {"initiate", {1, 0, 0, 0, 0, 1, 0, 13, 1, 0, 0, 0x75, 0x30}, DecodeError::None},
    };
    for (const Case& c : cases) {
        Message message;
        EXPECT_EQ(Decode(c.wire, message), c.expected) << c.name << ": " << DecodeErrorName(Decode(c.wire, message));
    }
}

TEST(HartIpSessionInitiate, RoundTripsAndNeedsFiveBytes) {
    const SessionInitiate body{1, 30000};
    const auto bytes = EncodeSessionInitiate(body);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{1, 0, 0, 0x75, 0x30}));
    EXPECT_EQ(DecodeSessionInitiate(bytes), body);
    EXPECT_EQ(DecodeSessionInitiate(Bytes{0, 0xFF, 0xFF, 0xFF, 0xFF}), (SessionInitiate{0, 0xFFFFFFFF}));
    EXPECT_FALSE(DecodeSessionInitiate(std::span(bytes).first(4)));
}

Bytes WithCheck(Bytes frame) {
    frame.push_back(CheckByte(frame));
    return frame;
}

TEST(HartIpFrame, CheckFrameFromATable) {
    // Command 0 to poll address 0, short frame.
    const Bytes shortRequest = WithCheck({0x02, 0x80, 0x00, 0x00});
    // Command 13's answer from a long address: 2 status bytes and 21 data bytes.
    Bytes longReply{0x86, 0xA6, 0x4A, 0x01, 0x02, 0x03, 0x0D, 23, 0x00, 0x40};
    longReply.resize(longReply.size() + 21, 0x41);
    longReply = WithCheck(longReply);
    // One expansion byte (delimiter bits 5-6 = 1).
    const Bytes expanded = WithCheck({0xA2, 0x26, 0x4A, 0x01, 0x02, 0x03, 0x55, 0x00, 0x00});
    const Bytes badCheck{0x02, 0x80, 0x00, 0x00, 0x83}; // the check byte is 0x82
    Bytes trailing = shortRequest;
    trailing.push_back(0x00);

    struct Case {
        const char* name;
        Bytes frame;
        FrameError expected;
    };
    const Case cases[] = {
        {"short request", shortRequest, FrameError::None},
        {"long reply", longReply, FrameError::None},
        {"expansion byte", expanded, FrameError::None},
        {"burst frame", WithCheck({0x81, 1, 2, 3, 4, 5, 3, 0}), FrameError::None},
        {"empty", {}, FrameError::TooShort},
        {"delimiter only", {0x02}, FrameError::TooShort},
        {"long address cut", {0x82, 0x26, 0x4A, 0x01}, FrameError::TooShort},
        {"byte count beyond", WithCheck({0x02, 0x80, 0x00, 0x05, 0x01}), FrameError::TooShort},
        {"frame type 0", WithCheck({0x00, 0x80, 0x00, 0x00}), FrameError::BadDelimiter},
        {"frame type 7", WithCheck({0x07, 0x80, 0x00, 0x00}), FrameError::BadDelimiter},
        {"synchronous physical layer", WithCheck({0x0A, 0x80, 0x00, 0x00}), FrameError::BadDelimiter},
        {"preamble left on", WithCheck({0xFF, 0x02, 0x80, 0x00, 0x00}), FrameError::BadDelimiter},
        {"bad check byte", badCheck, FrameError::BadCheckByte},
        {"trailing byte", trailing, FrameError::TrailingBytes},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckFrame(c.frame), c.expected) << c.name << ": " << FrameErrorName(CheckFrame(c.frame));

    FrameView view;
    ASSERT_EQ(CheckFrame(longReply, &view), FrameError::None);
    EXPECT_TRUE(view.longAddress());
    EXPECT_EQ(view.frameType(), kFrameTypeResponse);
    EXPECT_EQ(Bytes(view.address.begin(), view.address.end()), (Bytes{0xA6, 0x4A, 0x01, 0x02, 0x03}));
    EXPECT_EQ(view.command, 13);
    EXPECT_EQ(view.data.size(), 23u);
    EXPECT_EQ(view.checkByte, longReply.back());
    ASSERT_EQ(CheckFrame(expanded, &view), FrameError::None);
    ASSERT_EQ(view.expansion.size(), 1u);
    EXPECT_EQ(view.expansion[0], 0x55);
    EXPECT_EQ(view.command, 0x00);
}

// Feeds `stream` in the given read sizes (the last repeats), taking messages out after every read.
std::vector<Bytes> Reassemble(const Bytes& stream, const std::vector<std::size_t>& reads, StreamReassembler& r) {
    std::vector<Bytes> out;
    std::size_t at = 0, step = 0;
    while (at < stream.size()) {
        const std::size_t want = std::min(reads[std::min(step++, reads.size() - 1)], stream.size() - at);
        std::size_t fed = 0;
        while (fed < want) {
            const std::size_t took = r.Feed(std::span(stream).subspan(at + fed, want - fed));
            fed += took;
            while (auto message = r.Next())
                out.push_back(*message);
            if (took == 0)
                return out; // broken, or full with nothing to take out
        }
        at += want;
    }
    return out;
}

TEST(HartIpStreamReassembler, CutsSplitAndMergedMessages) {
    const Bytes a = Encode(Header{1, 0, 2, 0, 1, 0}, {});
    const Bytes b = Encode(Header{1, 0, 3, 0, 2, 0}, WithCheck({0x02, 0x80, 0x00, 0x00}));
    const Bytes c = Encode(Header{1, 0, 3, 0, 3, 0}, Bytes(kMaxBodySize, 0x5A));
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), c.begin(), c.end());
    stream.insert(stream.end(), a.begin(), a.end());
    const std::vector<Bytes> expected{a, b, c, a};

    struct Case {
        const char* name;
        std::vector<std::size_t> reads;
    };
    const Case cases[] = {
        {"one byte a read", {1}},
        {"header split", {3, 5, 2}},
        {"all at once", {stream.size()}},
        {"odd reads", {7, 13, 300, 1}},
    };
    for (const Case& c : cases) {
        StreamReassembler r;
        EXPECT_EQ(Reassemble(stream, c.reads, r), expected) << c.name;
        EXPECT_FALSE(r.broken()) << c.name;
        EXPECT_EQ(r.pending(), 0u) << c.name;
    }
}

TEST(HartIpStreamReassembler, AnImpossibleByteCountBreaksTheStreamForGood) {
    struct Case {
        const char* name;
        Bytes stream;
        DecodeError error;
    };
    const Bytes good = Encode(Header{1, 0, 2, 0, 1, 0}, {});
    const Case cases[] = {
        {"byte count 4", {1, 0, 2, 0, 0, 1, 0, 4}, DecodeError::ByteCountTooSmall},
        {"oversize", {1, 0, 3, 0, 0, 1, 0x40, 0x00}, DecodeError::TooLarge},
    };
    for (const Case& c : cases) {
        StreamReassembler r;
        Bytes stream = good;
        stream.insert(stream.end(), c.stream.begin(), c.stream.end());
        stream.insert(stream.end(), good.begin(), good.end());
        EXPECT_EQ(Reassemble(stream, {stream.size()}, r), std::vector<Bytes>{good}) << c.name;
        EXPECT_TRUE(r.broken()) << c.name;
        EXPECT_EQ(r.error(), c.error) << c.name;
        EXPECT_EQ(r.Feed(good), 0u) << c.name;
        EXPECT_FALSE(r.Next()) << c.name;
    }
    // Bounded: it never holds more than one message's bytes.
    StreamReassembler r;
    const Bytes lots(3 * kMaxMessageSize, 0);
    EXPECT_EQ(r.Feed(lots), kMaxMessageSize);
}

} // namespace
} // namespace zelhart::hartip

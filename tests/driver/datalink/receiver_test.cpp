// The receiver: preambles, delimiters, header and data sections, checksum, gaps and line errors.
#include "link_fixture.h"
#include "test_access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zelhart::datalink::test {
namespace {

using Events = std::vector<std::string>;

struct Rx : LinkFixture {
    Rx() {
        link.SetReadMask(0xFF);
        host.ClearRecords();
    }
    Bytes Delivered() {
        Bytes out(300);
        out.resize(link.ReadDeliveredFrame(out).Bytes);
        return out;
    }
};

TEST(Receiver, NeedsTwoPreambles) {
    const Bytes frame = {0x06, 0x80, 0x00, 0x00, 0x86}; // short ACK to the primary master, command 0
    Rx two;
    two.Feed(WithPreambles(2, frame));
    EXPECT_EQ(two.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", "EVT_RCV_ACK"}));
    EXPECT_EQ(two.Delivered(), frame);

    Rx one;
    one.Feed(WithPreambles(1, frame));
    EXPECT_EQ(one.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", "EVT_INV_SOM"}));
    EXPECT_EQ(one.host.Deliveries, 0);
}

TEST(Receiver, AcceptsUpTo250Preambles) {
    const Bytes frame = Frame(0x06, {0x80}, 0x00, {});
    Rx ok;
    ok.Feed(WithPreambles(250, frame));
    EXPECT_EQ(ok.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", "EVT_RCV_ACK"}));

    Rx tooMany;
    tooMany.Feed(WithPreambles(251, frame));
    EXPECT_EQ(tooMany.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", "EVT_TOO_MANY_PRE", "EVT_INV_SOM"}));
    EXPECT_EQ(tooMany.host.Deliveries, 0);
    EXPECT_TRUE(
        tooMany.host.Traced("ProcessPreamble Error: Preamble count (251) is above Maximum limit (250)!\n"));
}

// Every delimiter value: accepted exactly when, without its expansion bits, it is a short STX or ACK or
// a long BACK, STX or ACK; the expansion count (bits 5-6) adds that many bytes to the header.
TEST(Receiver, DelimitersAndExpansionBytes) {
    const std::vector<uint8_t> valid = {0x02, 0x06, 0x81, 0x82, 0x86};
    for (int d = 0; d < 0xFF; ++d) {
        const auto delimiter = static_cast<uint8_t>(d);
        SCOPED_TRACE(d);
        const bool longAddress = (delimiter & 0x80) != 0;
        const Bytes address = longAddress ? Bytes{0x80, 0x11, 0x22, 0x33, 0x44} : Bytes{0x80};
        const Bytes expansion(static_cast<size_t>((delimiter >> 5) & 3), 0x5E);
        Bytes data = {0x01, 0x02, 0x03};
        Bytes frame = Frame(delimiter, address, 0x30, data, expansion);
        if (frame.back() == 0xFF) frame = Frame(delimiter, address, 0x31, data, expansion);

        Rx f;
        f.Feed(WithPreambles(3, frame));
        const bool accepted = std::count(valid.begin(), valid.end(), delimiter & 0x9F) != 0;
        if (accepted) {
            const char* expected = (delimiter & 7) == 1   ? "EVT_RCV_BACK"
                                   : (delimiter & 7) == 2 ? "EVT_RCV_STX"
                                                          : "EVT_RCV_ACK";
            EXPECT_EQ(f.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", expected}));
            EXPECT_EQ(f.Delivered(), frame);
        } else {
            EXPECT_EQ(f.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", "EVT_INV_SOM"}));
            EXPECT_TRUE(f.host.Traced("ValidateStartOfMessage attempts to restart ReceiverFsm\n"));
            EXPECT_EQ(f.host.Deliveries, 0);
        }
    }
}

TEST(Receiver, FrameWithoutDataEndsAtItsChecksum) {
    Rx f;
    const Bytes frame = Frame(0x82, {0x80, 1, 2, 3, 4}, 0x00, {});
    Bytes stream = WithPreambles(5, frame);
    stream.push_back(0x00); // noise right after: not part of the frame
    const Bytes second = WithPreambles(2, Frame(0x06, {0x80}, 0x01, {0x07}));
    stream.insert(stream.end(), second.begin(), second.end());
    f.Feed(stream);
    EXPECT_EQ(f.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", "EVT_RCV_STX", "EVT_VAL_PRE", "EVT_RCV_ACK"}));
    EXPECT_EQ(f.host.Deliveries, 2);
}

TEST(Receiver, LongestFrameFitsTheBuffer) {
    Bytes data(255);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i); // 0xFF inside data is data
    const Bytes frame = Frame(0xE6, {0x80, 1, 2, 3, 4}, 0x30, data, {0x0A, 0x0B, 0x0C});
    ASSERT_EQ(frame.size(), 267u);
    Rx f;
    f.Feed(WithPreambles(5, frame));
    EXPECT_EQ(f.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", "EVT_RCV_ACK"}));
    EXPECT_EQ(f.Delivered(), frame);
}

TEST(Receiver, SilenceOfGapTicksAbandonsTheFrame) {
    const Bytes wire = WithPreambles(5, Reply(0x00));
    const Bytes head(wire.begin(), wire.begin() + 8), tail(wire.begin() + 8, wire.end());
    for (const int pause : {2, 3}) {
        SCOPED_TRACE(pause);
        Rx f;
        f.WaitBusFree();
        f.Feed(head);
        ASSERT_EQ(f.State(), MasterState::STATE_RCV_MSG_OSTX);
        f.Tick(pause);
        f.Feed(tail);
        if (pause < 3) {
            EXPECT_EQ(f.host.Deliveries, 1);
            EXPECT_EQ(f.State(), MasterState::STATE_BUS_RESTART) << "the reply was heard as such";
        } else {
            EXPECT_EQ(f.host.Deliveries, 0);
            EXPECT_EQ(f.State(), MasterState::STATE_BUS_BUSY) << "EVT_INV_SOM from the receive gap";
        }
    }
}

TEST(Receiver, NoiseOutsideAFrameRaisesInvalidStartAfterTheGap) {
    Rx f;
    DataLinkTestAccess::Ctx(f.link).CurrentMasterState = MasterState::STATE_RCV_MSG_OSTX;
    f.Feed(0x00);
    f.Tick(2);
    EXPECT_EQ(f.State(), MasterState::STATE_RCV_MSG_OSTX);
    f.Tick(1);
    EXPECT_EQ(f.State(), MasterState::STATE_BUS_BUSY);
}

TEST(Receiver, WrongChecksumIsDeliveredAsErrorButStillClassified) {
    Rx f;
    f.link.SetReadMask(0x02);
    const Bytes frame = CorruptChecksum(Reply(kPrimary));
    f.Feed(WithPreambles(5, frame));
    EXPECT_EQ(f.host.ReceiverEvents(), (Events{"EVT_VAL_PRE", "EVT_RCV_ACK"}));
    EXPECT_EQ(f.link.Context().ProtocolInfo.Delim, 0x10);
    Bytes out(300);
    const auto copy = f.link.ReadDeliveredFrame(out);
    out.resize(copy.Bytes);
    EXPECT_EQ(out, frame);
    EXPECT_EQ(copy.Status, STATUS_CRC_ERROR);
}

// A character read with a failure status, by where it falls in the frame.
TEST(Receiver, LineErrors) {
    const Bytes frame = Reply(kPrimary, 0x11, false, {0x10, 0x20, 0x30});
    const Bytes wire = WithPreambles(3, frame);
    struct Case {
        const char* where;
        size_t index;
        Events events;
        NTSTATUS readStatus; // of the delivered frame; 0 with no delivery expected
        bool delivered;
    } cases[] = {
        {"first preamble", 0, {"EVT_VAL_PRE", "EVT_RCV_ACK"}, STATUS_SUCCESS, true},
        // the third preamble starts over and leaves one preamble before the delimiter
        {"second preamble", 1, {"EVT_VAL_PRE", "EVT_INV_SOM", "EVT_VAL_PRE", "EVT_INV_SOM"}, 0, false},
        {"delimiter", 3, {"EVT_VAL_PRE", "EVT_INV_SOM"}, 0, false},
        {"address in the header", 4, {"EVT_VAL_PRE", "EVT_GOT_ERR"}, 0, false},
        {"byte count", 10, {"EVT_VAL_PRE", "EVT_GOT_ERR"}, 0, false},
        {"data", 12, {"EVT_VAL_PRE", "EVT_RCV_ACK"}, STATUS_CRC_ERROR, true},
        {"checksum", wire.size() - 1, {"EVT_VAL_PRE", "EVT_RCV_ACK"}, STATUS_CRC_ERROR, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        Rx f;
        for (size_t i = 0; i < wire.size(); ++i)
            f.Feed(wire[i], i == c.index ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(f.host.ReceiverEvents(), c.events);
        EXPECT_EQ(f.host.Deliveries, c.delivered ? 1 : 0);
        if (c.delivered) {
            Bytes out(300);
            const auto copy = f.link.ReadDeliveredFrame(out);
            EXPECT_EQ(copy.Status, c.readStatus);
            EXPECT_EQ(copy.Bytes, frame.size());
        }
    }
}

// No valid byte count makes a frame longer than its buffer, but the write position is bounded anyway:
// a frame that would run past the end keeps the first 269 bytes and is delivered as erroneous.
TEST(Receiver, WritePositionNeverPassesTheBufferEnd) {
    Rx f;
    f.link.SetReadMask(0x02);
    DataLinkContext& c = DataLinkTestAccess::Ctx(f.link);
    c.CommData[0][0] = 0x86;
    c.CommData[0][1] = 0x80;
    c.CommData[1].fill(0xEE);
    c.RcvBufferStart = 0;
    c.RcvWritePos = 265;
    c.RcvCountdown = 20;
    c.CurrentReceiverState = ReceiverState::STATE_RECEIVING_VALID_DATA;
    for (int i = 0; i < 20; ++i) {
        f.Feed(0x42);
        ASSERT_LE(c.RcvWritePos, kRcvBufferSize);
    }
    EXPECT_TRUE(f.host.Traced("StoreReceivedByte Error: frame longer than the receive buffer\n"));
    RcvBuffer untouched;
    untouched.fill(0xEE);
    EXPECT_EQ(c.CommData[1], untouched) << "nothing spilled into the other buffer";
    Bytes out(400);
    const auto copy = f.link.ReadDeliveredFrame(out);
    EXPECT_EQ(copy.Bytes, kRcvBufferSize);
    EXPECT_EQ(copy.Status, STATUS_CRC_ERROR);
}

TEST(Receiver, RecordsTheAddressOfLongAndShortFrames) {
    Rx f;
    f.Feed(WithPreambles(3, Frame(0x86, {0xE6, 0x99, 0xFC, 0x00, 0x11}, 0x03, {0x01})));
    EXPECT_EQ(f.link.Context().ProtocolInfo.Address, (std::array<uint8_t, 5>{0x26, 0x99, 0xFC, 0x00, 0x11}));
    EXPECT_EQ(f.link.Context().ProtocolInfo.BurstFlag, 1);
    // A short frame has a polling address only; command, byte count and data are no part of it.
    f.Feed(WithPreambles(3, Frame(0x06, {0x85}, 0x03, {0x01, 0x02, 0x03, 0x04})));
    EXPECT_EQ(f.link.Context().ProtocolInfo.Address, (std::array<uint8_t, 5>{0x05, 0, 0, 0, 0}));
    EXPECT_EQ(f.link.Context().ProtocolInfo.BurstFlag, 0);
}

// A slave bursting with short frames is still recognised by its polling address when it replies to
// another command with other data.
TEST(Receiver, ShortFrameBurstMatchComparesThePollingAddressOnly) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    f.Feed(WithPreambles(5, Frame(0x06, {0xC5}, 0x01, {0x00, 0x40, 0x20})));
    ASSERT_EQ(f.State(), MasterState::STATE_BURST_BUS_BUSY);
    f.Feed(WithPreambles(5, BurstFrame(0x00, 0x77))); // the other master's slave: this master's window
    ASSERT_EQ(f.State(), MasterState::STATE_BURST_MY_BUS);
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    f.Feed(WithPreambles(5, Frame(0x06, {0x85}, 0x03, {0x00, 0x40, 0x01, 0x02})));
    EXPECT_EQ(f.State(), MasterState::STATE_BUS_BUSY) << "EVT_BURST_MATCH";
}

} // namespace
} // namespace zelhart::datalink::test

// Which frames readers get (Rcv_Mask and the frame classes), and how the buffered frame is handed over.
#include "link_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace zelhart::datalink::test {
namespace {

// Rcv_Mask bit of each frame class: 1 BACK, 2 STX, 6 ACK, | 0x80 for the other master.
const std::map<uint8_t, uint8_t> kDeliveryBit = {
    {0x01, 0x01}, {0x06, 0x02}, {0x02, 0x04}, {0x81, 0x10}, {0x86, 0x20}, {0x82, 0x40},
};

struct Kind {
    const char* name;
    Bytes (*frame)(uint8_t masterBit);
    uint8_t classBits;
};
const Kind kKinds[] = {
    {"burst", [](uint8_t m) { return BurstFrame(m); }, 0x01},
    {"request", [](uint8_t m) { return Request(m); }, 0x02},
    {"reply", [](uint8_t m) { return Reply(m); }, 0x06},
};

Bytes ReadAll(HartDataLink& link, size_t size = 300) {
    Bytes out(size);
    out.resize(link.ReadDeliveredFrame(out).Bytes);
    return out;
}

TEST(Delivery, ReadMaskSelectsFrameClassesOfThisAndTheOtherMaster) {
    for (const uint8_t masterType : {0x80, 0x00}) {
        for (const Kind& kind : kKinds) {
            for (const uint8_t addressMasterBit : {0x80, 0x00}) {
                const uint8_t frameClass = kind.classBits | (addressMasterBit == masterType ? 0 : 0x80);
                for (int bit = 0; bit < 8; ++bit) {
                    const auto mask = static_cast<uint8_t>(1u << bit);
                    SCOPED_TRACE(testing::Message()
                                 << "MasterType " << int(masterType) << ", " << kind.name
                                 << " with master bit " << int(addressMasterBit) << ", mask " << int(mask));
                    LinkFixture f;
                    f.link.SetProtocol({kModeMaster, masterType, 2});
                    f.link.SetReadMask(mask);
                    f.Feed(WithPreambles(5, kind.frame(addressMasterBit)));
                    EXPECT_EQ(f.link.Context().ProtocolInfo.LastFrameClass, frameClass);
                    EXPECT_EQ(f.link.HasDeliveredFrame(), mask == kDeliveryBit.at(frameClass));
                }
            }
        }
    }
}

TEST(Delivery, InSlaveModeEveryFrameIsThisMastersAndDrivesNoStateMachine) {
    for (const Kind& kind : kKinds) {
        for (const uint8_t addressMasterBit : {0x80, 0x00}) {
            SCOPED_TRACE(testing::Message() << kind.name << " with master bit " << int(addressMasterBit));
            LinkFixture f;
            f.link.SetProtocol({kModeSlave, 0x80, 2});
            f.link.SetReadMask(kDeliveryBit.at(kind.classBits));
            const MasterState before = f.State();
            f.host.ClearRecords();
            f.Feed(WithPreambles(5, kind.frame(addressMasterBit)));
            EXPECT_EQ(f.link.Context().ProtocolInfo.LastFrameClass, kind.classBits);
            EXPECT_TRUE(f.link.HasDeliveredFrame());
            EXPECT_TRUE(f.host.ReceiverEvents().empty());
            EXPECT_EQ(f.State(), before);
        }
    }
}

TEST(Delivery, LatestFrameReplacesAnUnreadOne) {
    LinkFixture f;
    const Bytes first = Reply(kPrimary, 0x01), second = Reply(kPrimary, 0x02);
    f.Feed(WithPreambles(5, first));
    f.Feed(WithPreambles(5, second));
    EXPECT_EQ(ReadAll(f.link), second);
    EXPECT_FALSE(f.link.HasDeliveredFrame());
}

TEST(Delivery, ShortImmediateReadLeavesTheRestForTheNextRead) {
    LinkFixture f;
    const Bytes frame = Reply(kPrimary);
    f.Feed(WithPreambles(5, frame));
    EXPECT_EQ(ReadAll(f.link, 2), Bytes(frame.begin(), frame.begin() + 2));
    EXPECT_TRUE(f.link.HasDeliveredFrame());
    EXPECT_EQ(ReadAll(f.link), Bytes(frame.begin() + 2, frame.end()));
    EXPECT_FALSE(f.link.HasDeliveredFrame());
    Bytes none(10);
    const auto copy = f.link.ReadDeliveredFrame(none);
    EXPECT_EQ(copy.Bytes, 0u);
}

TEST(Delivery, WaitingReadGetsWhatFitsAndTheRestIsDropped) {
    LinkFixture f;
    const Bytes frame = Reply(kPrimary, 0x11, false, Bytes(11, 0x3C)); // 20 bytes
    ASSERT_EQ(frame.size(), 20u);
    f.host.WaitingRead = 10;
    f.Feed(WithPreambles(5, frame));
    ASSERT_EQ(f.host.Reads.size(), 1u);
    EXPECT_EQ(f.host.Reads[0].Bytes, Bytes(frame.begin(), frame.begin() + 10));
    EXPECT_EQ(f.host.Reads[0].Status, STATUS_SUCCESS);
    EXPECT_FALSE(f.link.HasDeliveredFrame());
}

TEST(Delivery, WithoutAWaitingReadTheFrameStaysBuffered) {
    LinkFixture f;
    const Bytes frame = Reply(kPrimary);
    f.Feed(WithPreambles(5, frame));
    EXPECT_EQ(f.host.Deliveries, 1);
    EXPECT_TRUE(f.host.Reads.empty());
    EXPECT_EQ(ReadAll(f.link), frame);
}

TEST(Delivery, WaitingReadCompletedWithNothingBufferedGetsNoBytesAndSuccess) {
    LinkFixture f;
    f.Feed(WithPreambles(5, CorruptChecksum(Reply(kPrimary))));
    ReadAll(f.link);
    Bytes out(32);
    const auto copy = f.link.TakeDeliveredFrame(out);
    EXPECT_EQ(copy.Bytes, 0u);
    EXPECT_EQ(copy.Status, STATUS_SUCCESS);
}

// The status a reader gets belongs to the frame it reads, not to whatever the receiver saw since.
TEST(Delivery, DeliveredFrameKeepsItsOwnStatus) {
    {
        SCOPED_TRACE("a good frame, then a broken frame nobody reads");
        LinkFixture f; // Rcv_Mask 0x02: replies to this master only
        f.Feed(WithPreambles(5, Reply(kPrimary)));
        f.Feed(WithPreambles(5, CorruptChecksum(Request(0x00))));
        Bytes out(300);
        EXPECT_EQ(f.link.ReadDeliveredFrame(out).Status, STATUS_SUCCESS);
    }
    {
        SCOPED_TRACE("a broken frame, then the preamble of the next one");
        LinkFixture f;
        f.Feed(WithPreambles(5, CorruptChecksum(Reply(kPrimary))));
        f.Feed(Bytes{0xFF, 0xFF});
        Bytes out(4);
        EXPECT_EQ(f.link.ReadDeliveredFrame(out).Status, STATUS_CRC_ERROR);
        EXPECT_EQ(f.link.ReadDeliveredFrame(out).Status, STATUS_CRC_ERROR) << "the rest of the same frame";
    }
}

TEST(Delivery, DeliveredFrameStaysIntactWhileFurtherFramesArrive) {
    LinkFixture f;
    const Bytes kept = Reply(kPrimary, 0x01, false, {1, 2, 3, 4, 5, 6});
    f.Feed(WithPreambles(5, kept));
    for (int i = 0; i < 3; ++i)
        f.Feed(WithPreambles(5, Request(0x00, static_cast<uint8_t>(i)))); // not selected
    const Bytes partial = WithPreambles(5, Reply(kPrimary, 0x09, false, Bytes(40, 0x77)));
    f.Feed(Bytes(partial.begin(), partial.begin() + 30)); // the next selected frame, half received
    EXPECT_EQ(ReadAll(f.link), kept);
}

TEST(Delivery, DiscardedFrameIsGone) {
    LinkFixture f;
    f.Feed(WithPreambles(5, Reply(kPrimary)));
    f.link.DiscardDeliveredFrame();
    EXPECT_FALSE(f.link.HasDeliveredFrame());
    EXPECT_TRUE(ReadAll(f.link).empty());
}

} // namespace
} // namespace zelhart::datalink::test

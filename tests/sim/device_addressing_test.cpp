// Who the transmitter answers, with which frame, and the status bytes every answer carries.
#include "device_test_fixture.h"

namespace zelhart::sim {
namespace {

using namespace testing;

using DeviceAddressing = DeviceTest;

TEST_F(DeviceAddressing, IdentityAtPollingAddressZeroIsAnsweredByteForByte) {
    auto reply = device.Handle(MakeFrame({0x02, 0x00, 0xF9, 0x00, 0xFB}), now);
    ASSERT_TRUE(reply);
    // Short reply, command 249, 14 bytes: code 0, status "cold start", then the identity:
    // 254, manufacturer 153, device type 252, 5 preambles, revisions 5/1/3, hardware 2 << 3,
    // flags 0, device identifier 3A 5F 21.
    EXPECT_EQ(HexBytes(reply->bytes()), "06 00 f9 0e 00 20 fe 99 fc 05 05 01 03 10 00 3a 5f 21 1c");
    EXPECT_TRUE(reply->checkOk());
}

TEST_F(DeviceAddressing, CommandZeroAnswersLikeCommand249) {
    Reply a = Send(0);
    Reply b = Send(249);
    EXPECT_EQ(HexBytes(a.data()), HexBytes(b.data()));
    EXPECT_EQ(a.data().size(), 12u);
}

TEST_F(DeviceAddressing, ShortFramesReachOnlyTheIdentityAtAddressZero) {
    EXPECT_FALSE(device.Handle(MakeFrame(RequestBytes(249, {}) /*address 0*/), now) == std::nullopt);
    Bytes pollingOne = {0x02, 0x01, 0xF9, 0x00};
    pollingOne.push_back(CheckByte(pollingOne));
    EXPECT_FALSE(device.Handle(MakeFrame(pollingOne), now));
    Bytes shortRead = {0x02, 0x00, 13, 0x00};
    shortRead.push_back(CheckByte(shortRead));
    EXPECT_FALSE(device.Handle(MakeFrame(shortRead), now));
}

TEST_F(DeviceAddressing, LongFramesNeedTheWholeLongAddress) {
    EXPECT_TRUE(device.Handle(Request(13), now));
    for (size_t i = 0; i < 5; ++i) {
        Bytes other = kLongAddress;
        other[i] ^= 0x01;
        EXPECT_FALSE(device.Handle(Request(13, {}, other), now)) << "address byte " << i;
    }
    EXPECT_FALSE(device.Handle(Request(13, {}, {0, 0, 0, 0, 0}), now)); // an unset address
    Bytes burstBit = kLongAddress;
    burstBit[0] |= 0x40;
    EXPECT_FALSE(device.Handle(Request(13, {}, burstBit), now));
}

TEST_F(DeviceAddressing, AnswersRepeatTheMasterBitOfTheRequest) {
    Bytes primary = kLongAddress;
    primary[0] |= 0x80;
    auto a = device.Handle(Request(13, {}, primary), now);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->delimiter(), 0x86);
    EXPECT_EQ(a->address()[0], 0x99);
    auto b = device.Handle(Request(13), now);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->address()[0], 0x19);
    EXPECT_EQ(HexBytes(b->address()), "19 fc 3a 5f 21");

    Bytes shortPrimary = {0x02, 0x80, 0xF9, 0x00};
    shortPrimary.push_back(CheckByte(shortPrimary));
    auto c = device.Handle(MakeFrame(shortPrimary), now);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->address()[0], 0x80);
}

TEST_F(DeviceAddressing, OnlyRequestsAreAnswered) {
    // The same long address in a slave's reply or a burst frame is not a question.
    Bytes reply = {0x86, 0x19, 0xFC, 0x3A, 0x5F, 0x21, 13, 0};
    reply.push_back(CheckByte(reply));
    EXPECT_FALSE(device.Handle(MakeFrame(reply), now));
    Bytes burst = {0x81, 0x59, 0xFC, 0x3A, 0x5F, 0x21, 3, 0};
    burst.push_back(CheckByte(burst));
    EXPECT_FALSE(device.Handle(MakeFrame(burst), now));
}

TEST_F(DeviceAddressing, WrongCheckByteIsAnsweredWithACommunicationError) {
    Bytes bad = RequestBytes(13, {});
    bad.back() ^= 0x40;
    auto a = device.Handle(MakeFrame(bad), now);
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->checkOk());
    EXPECT_EQ(a->command(), 13);
    EXPECT_EQ(a->byteCount(), 2);
    EXPECT_EQ(a->data()[0], 0x88);
    // Not for this transmitter: no answer at all.
    Bytes other = RequestBytes(13, {}, {0x19, 0xFC, 0, 0, 1});
    other.back() ^= 0x40;
    EXPECT_FALSE(device.Handle(MakeFrame(other), now));
}

TEST_F(DeviceAddressing, BusyAnswersAreCountedDown) {
    device.SetBusy(2);
    for (int i = 0; i < 2; ++i) {
        Reply r = Send(13);
        EXPECT_EQ(r.code(), 32);
        EXPECT_TRUE(r.data().empty());
    }
    EXPECT_EQ(device.busy(), 0u);
    EXPECT_EQ(Send(13).code(), 0);
}

TEST_F(DeviceAddressing, UnknownCommandsAre64WithoutData) {
    for (uint8_t cmd : {4, 6, 11, 12, 17, 19, 128, 200, 248, 250, 254, 255}) {
        Reply r = Send(cmd);
        EXPECT_EQ(r.code(), 64) << int(cmd);
        EXPECT_TRUE(r.data().empty());
    }
}

TEST_F(DeviceAddressing, ColdStartOnlyInTheFirstAnswerAndAfterReset) {
    EXPECT_EQ(Send(13).status() & kStatusColdStart, kStatusColdStart);
    EXPECT_EQ(Send(13).status() & kStatusColdStart, 0);
    EXPECT_EQ(Send(42).status() & kStatusColdStart, 0); // the answer comes before the restart
    EXPECT_EQ(Send(13).status() & kStatusColdStart, kStatusColdStart);
}

TEST_F(DeviceAddressing, ConfigurationChangedUntilCommand38) {
    Send(13);
    EXPECT_EQ(Send(13).status(), 0);
    Send(151, {0});
    EXPECT_EQ(Send(13).status(), kStatusConfigChanged);
    EXPECT_TRUE(device.TakeConfigChanged());
    EXPECT_FALSE(device.TakeConfigChanged());
    Send(38);
    EXPECT_EQ(Send(13).status(), 0);
}

TEST_F(DeviceAddressing, BurstModeMarksAnswersAndBurstFrames) {
    device.SetBurstMode(true);
    auto a = device.Handle(Request(13), now);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->address()[0], 0x59);
    auto s = device.Handle(MakeFrame({0x02, 0x00, 0xF9, 0x00, 0xFB}), now);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->address()[0], 0x40);

    Frame burst = device.BurstFrame(true, now);
    EXPECT_EQ(burst.delimiter(), 0x81);
    EXPECT_EQ(HexBytes(burst.address()), "d9 fc 3a 5f 21");
    EXPECT_EQ(burst.command(), 3);
    EXPECT_EQ(burst.byteCount(), 2 + 24);
    EXPECT_TRUE(burst.checkOk());
    EXPECT_EQ(device.BurstFrame(false, now).address()[0], 0x59);
}

} // namespace
} // namespace zelhart::sim

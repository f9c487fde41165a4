// Malformed and unexpected answers: never read past a buffer, never accept what is not a frame.
#include "transmitter_fixture.h"

#include <bit>

namespace zelhart::hart {
namespace {

using testing::Hex;
using testing::TransmitterTest;
using testing::WithCheck;

const std::vector<uint8_t> kAddress{0x00, 0x00, 0x00, 0x00, 0x00}; // before identification

// A well-formed long answer to `cmd` with `data` after the two status bytes.
std::vector<uint8_t> LongAnswer(uint8_t cmd, std::vector<uint8_t> data, uint8_t code = 0) {
    std::vector<uint8_t> f{0x86};
    f.insert(f.end(), kAddress.begin(), kAddress.end());
    f.push_back(cmd);
    f.push_back(uint8_t(2 + data.size()));
    f.push_back(code);
    f.push_back(0);
    f.insert(f.end(), data.begin(), data.end());
    return WithCheck(f);
}

TEST_F(TransmitterTest, AnswerShorterThanItsLayoutDecodesTheMissingFieldsAsNotSet) {
    // Command 15 answers 17 data bytes; this one stops after the range units.
    lib.Load("step answer 0 0 00 01 20\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadOutputInfo), 0);
    uint8_t alarm = 9, transfer = 9, units = 9, protect = 9, distributor = 9;
    float upper = 1, lower = 1, damping = 1;
    EXPECT_EQ(
        transmitter->ParseResponse(CommandIndex::ReadOutputInfo, {&alarm, &transfer, &units, &upper, &lower,
                                                                  &damping, &protect, &distributor}),
        3u);
    EXPECT_EQ(alarm, 0);
    EXPECT_EQ(transfer, 1);
    EXPECT_EQ(units, 32);
    for (float f : {upper, lower, damping})
        EXPECT_EQ(std::bit_cast<uint32_t>(f), kUnsetFloatBits);
    EXPECT_EQ(protect, 0);
    EXPECT_EQ(distributor, 0);
}

TEST_F(TransmitterTest, FieldCutInTheMiddleIsMissingWhole) {
    lib.Load("step answer 0 0 41 A0\n"); // half a float
    ASSERT_EQ(transmitter->Transact(CommandIndex::WriteDamping, {static_cast<const float*>(nullptr)}), 0);
    float damping = 0;
    EXPECT_EQ(transmitter->ParseResponse(CommandIndex::WriteDamping, {&damping}), 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(damping), kUnsetFloatBits);
}

TEST_F(TransmitterTest, AnswerLongerThanItsLayoutIsDecodedByTheLayout) {
    lib.Load("step answer 0 0 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadAdditionalStatus), 0);
    uint8_t b[5] = {};
    EXPECT_EQ(
        transmitter->ParseResponse(CommandIndex::ReadAdditionalStatus, {&b[0], &b[1], &b[2], &b[3], &b[4]}),
        5u);
    EXPECT_EQ(b[4], 5);
}

TEST_F(TransmitterTest, ByteCountThatDisagreesWithTheLengthIsADamagedFrame) {
    auto f = LongAnswer(16, {0x00, 0x12, 0xCA});
    f[7] = 9; // claims more data than the frame holds
    f.back() = CheckByte(std::span<const uint8_t>(f).first(f.size() - 1));
    lib.Load("step raw " + Hex(f) + "\nstep\nstep\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseCheckByteError);
    EXPECT_EQ(transmitter->LastResponse().size(), 0u);
}

TEST_F(TransmitterTest, RecordLongerThanTheBufferIsADamagedFrame) {
    // The record says 300 bytes; only 284 exist.
    lib.Load("step length 300 " + Hex(LongAnswer(16, {0x00, 0x12, 0xCA})) + "\nstep\nstep\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseCheckByteError);
    EXPECT_EQ(transmitter->LastResponse().size(), 0u);
}

TEST_F(TransmitterTest, RecordFillingTheWholeBufferIsADamagedFrame) {
    // No byte count can describe 284 bytes.
    auto f = LongAnswer(16, std::vector<uint8_t>(284 - 11, 0x33));
    ASSERT_EQ(f.size(), 284u);
    lib.Load("step raw " + Hex(f) + "\nstep\nstep\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseCheckByteError);
}

TEST_F(TransmitterTest, RecordsTooShortForAFrameAreDamaged) {
    lib.Load("step raw 86 00 | raw 06 | raw 86 00 00 00 00 00 10 02 00 00\nstep\nstep\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseCheckByteError);
}

TEST_F(TransmitterTest, DataStartFollowsTheFormOfTheAnswer) {
    // A long answer to the short identity request: its data start after five address bytes.
    std::vector<uint8_t> f{0x86, 0x19, 0xFC, 0x12, 0x34, 0x56, 249, 14, 0,    0,    0xFE,
                           0x99, 0xFC, 5,    7,    1,    3,    8,   0,  0x12, 0x34, 0x56};
    lib.Load("step raw " + Hex(WithCheck(f)) + "\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
    uint8_t marker = 0, manufacturer = 0;
    EXPECT_EQ(transmitter->ParseResponse(CommandIndex::IdentifyDevice, {&marker, &manufacturer}), 10u);
    EXPECT_EQ(marker, 254);
    EXPECT_EQ(manufacturer, 0x99);
    EXPECT_EQ(transmitter->StoredLongAddress(), (LongAddress{0x19, 0xFC, 0x12, 0x34, 0x56}));
}

TEST_F(TransmitterTest, IdentityMarkerTooCloseToTheEndIsNotFollowed) {
    // A 254 with fewer than eleven bytes after it inside the data must not move the address.
    lib.Load("step answer 0 0 00 00 00 00 00 00 00 00 FE 01 02 03\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
    transmitter->ParseResponse(CommandIndex::IdentifyDevice);
    EXPECT_EQ(transmitter->StoredLongAddress(), (LongAddress{0, 0, 0, 0, 0}));
}

TEST_F(TransmitterTest, DeviceStatus254IsNotTakenForTheIdentityMarker) {
    lib.Load("step answer 0 254 FE 99 FC 05 07 01 03 08 00 12 34 56\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
    transmitter->ParseResponse(CommandIndex::IdentifyDevice);
    EXPECT_EQ(transmitter->StoredLongAddress(), (LongAddress{0x19, 0xFC, 0x12, 0x34, 0x56}));
}

TEST_F(TransmitterTest, FailureRecordsAreNoAnswer) {
    lib.Load("step fail -1\nstep fail -2\nstep fail -1\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseNoAnswer);
    EXPECT_EQ(lib.SentCount(), 3);
}

} // namespace
} // namespace zelhart::hart

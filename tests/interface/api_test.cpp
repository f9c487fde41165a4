// The seven exports: codes, records and their order, with no driver and with the fake driver.
#include "library_fixture.h"

#include <cstring>

namespace zelhart::hartif::testing {
namespace {

using Api = LibraryFixture;

TEST_F(Api, WithoutDriverOpenSucceedsAndWriteComesBackAsFailureRecord) {
    LibraryAttach({nullptr, sources, true, ""}); // the library's own default: no driver to talk to
    uint16_t index = 0xFFFF;
    ASSERT_EQ(hart_open("HART3", &index), HDRV_SUCCESS);
    EXPECT_EQ(index, 0);
    EXPECT_FALSE(Lib().Function().IsOpen());

    HartMessage request = Request(0x1234);
    ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    HartMessage record;
    std::memset(&record, 0xAB, sizeof(record));
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Length, 0);
    EXPECT_EQ(record.Status, 6);
    EXPECT_EQ(record.Error, -1);
    EXPECT_EQ(record.RequestTag, 0x1234);
    EXPECT_EQ(record.Data[0], 0);
    EXPECT_EQ(hart_close(index), HDRV_FAILURE); // nothing was open to close
    EXPECT_EQ(hart_read(index, &record), HDRV_INVALID_INDEX);
}

TEST_F(Api, SecondOpenOfTheSameNameGivesTheFirstIndex) {
    Attach();
    EXPECT_EQ(Open("HART3"), 0);
    EXPECT_EQ(Open("HART5"), 1);
    uint16_t index = 0xFFFF;
    EXPECT_EQ(hart_open("HART3", &index), HDRV_ALREADY_OPEN);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(hart_close(0), HDRV_FAILURE);
    EXPECT_EQ(Open("HART3"), 0); // the lowest free slot again
}

TEST_F(Api, OpenRejectsMissingArguments) {
    Attach();
    uint16_t index = 0xFFFF;
    EXPECT_EQ(hart_open("HART3", nullptr), HDRV_INVALID_PARAM);
    EXPECT_EQ(hart_open(nullptr, &index), HDRV_INVALID_PARAM);
    std::string tooLong = "HART" + std::string(300, '7');
    EXPECT_EQ(hart_open(tooLong.c_str(), &index), HDRV_INVALID_PARAM);
    EXPECT_EQ(index, 0xFFFF);
    EXPECT_EQ(Open("HART3"), 0); // nothing was taken by the refusals
}

TEST_F(Api, AfterAllSlotsAreTakenOpenFailsWithoutWritingTheIndex) {
    Attach();
    for (int i = 0; i < 256; ++i) ASSERT_EQ(Open(("HART" + std::to_string(i + 1)).c_str()), i);
    uint16_t index = 0xBEEF;
    EXPECT_EQ(hart_open("HART999", &index), HDRV_FAILURE);
    EXPECT_EQ(index, 0xBEEF);
    EXPECT_EQ(hart_close(17), HDRV_FAILURE);
    EXPECT_EQ(Open("HART999"), 17);
    for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(hart_close(i), HDRV_FAILURE);
}

TEST_F(Api, IndexAboveTheTableOrEmptySlotIsRejected) {
    Attach();
    ASSERT_EQ(Open("HART3"), 0);
    HartConfig config{0x80, 2};
    AppRegistryInfo reg{};
    HartMessage m = Request(1);
    for (uint32_t bad : {256u, 0xFFFFu, 0x1FFFFu}) {
        EXPECT_EQ(hart_configure(bad, &config), HDRV_INVALID_INDEX);
        EXPECT_EQ(hart_subscribe(bad, 0x02), HDRV_INVALID_INDEX);
        EXPECT_EQ(hart_register(bad, &reg), HDRV_INVALID_INDEX);
        EXPECT_EQ(hart_write(bad, &m), HDRV_INVALID_INDEX);
        EXPECT_EQ(hart_read(bad, &m), HDRV_INVALID_INDEX);
        EXPECT_EQ(hart_close(bad), HDRV_INVALID_INDEX);
    }
    // An empty slot: -3 everywhere, but -1 from hart_close.
    EXPECT_EQ(hart_configure(1, &config), HDRV_INVALID_INDEX);
    EXPECT_EQ(hart_subscribe(1, 0x02), HDRV_INVALID_INDEX);
    EXPECT_EQ(hart_register(1, &reg), HDRV_INVALID_INDEX);
    EXPECT_EQ(hart_write(1, &m), HDRV_INVALID_INDEX);
    EXPECT_EQ(hart_read(1, &m), HDRV_INVALID_INDEX);
    EXPECT_EQ(hart_close(1), HDRV_FAILURE);
    // Only the low 16 bits of an index count.
    EXPECT_EQ(hart_read(0x10000u, &m), HDRV_NO_MESSAGE);
}

TEST_F(Api, NullRecordsAndTheEmptyQueue) {
    Attach();
    uint16_t index = Open("HART3");
    EXPECT_EQ(hart_configure(index, nullptr), HDRV_INVALID_PARAM);
    EXPECT_EQ(hart_write(index, nullptr), HDRV_INVALID_PARAM);
    EXPECT_EQ(hart_read(index, nullptr), HDRV_INVALID_PARAM);
    HartMessage record;
    std::memset(&record, 0xAB, sizeof(record));
    EXPECT_EQ(hart_read(index, &record), HDRV_NO_MESSAGE);
    for (size_t i = 0; i < sizeof(record); ++i) ASSERT_EQ(reinterpret_cast<uint8_t*>(&record)[i], 0xAB);
}

TEST_F(Api, OpeningAPresentDeviceSetsItUpAsPrimaryMasterWithTwoRetries) {
    Attach();
    uint16_t index = OpenPresent(3);
    auto ioctls = driver->Ioctls(FakeDriver::HartPath(3));
    ASSERT_EQ(ioctls.size(), 2u);
    EXPECT_EQ(ioctls[0].code, IOCTL_HART_SET_READ_MASK);
    EXPECT_EQ(ioctls[0].input, Bytes{0x02});
    EXPECT_EQ(ioctls[1].code, IOCTL_HART_SET_PROTOCOL);
    EXPECT_EQ(ioctls[1].input, (Bytes{0x00, 0x00, 0x80, 0x02}));
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
    EXPECT_EQ(driver->OpenFiles(FakeDriver::HartPath(3)), 0);
}

TEST_F(Api, DeviceRefusingItsSetUpIsNotKept) {
    Attach();
    driver->AddDevice(FakeDriver::HartPath(3));
    driver->FailNextIoctl(FakeDriver::HartPath(3), IOCTL_HART_SET_PROTOCOL, ERROR_GEN_FAILURE);
    uint16_t index = 0xFFFF;
    EXPECT_EQ(hart_open("HART3", &index), HDRV_FAILURE);
    EXPECT_EQ(index, 0xFFFF);
    EXPECT_EQ(driver->OpenFiles(FakeDriver::HartPath(3)), 0);
    EXPECT_EQ(Lib().Table().Get(0), nullptr);
    EXPECT_EQ(Open("HART3"), 0); // set-up succeeds the second time
}

TEST_F(Api, ConfigureTakesTheLowByteOfEachWord) {
    Attach();
    uint16_t index = OpenPresent(3);
    HartConfig config{0x00600000, 0x00060004};
    EXPECT_EQ(hart_configure(index, &config), HDRV_SUCCESS);
    EXPECT_EQ(driver->LastMask(FakeDriver::HartPath(3)), 0x02);
    EXPECT_EQ(driver->LastProtocol(FakeDriver::HartPath(3)), (HartProtocolInfo{0, 0x00, 4}));
    // A refusal is not reported by configure.
    driver->FailNextIoctl(FakeDriver::HartPath(3), IOCTL_HART_SET_READ_MASK, ERROR_GEN_FAILURE);
    EXPECT_EQ(hart_configure(index, &config), HDRV_SUCCESS);
}

TEST_F(Api, SubscriptionFlagsBecomeTheReceiveMask) {
    Attach();
    uint16_t index = OpenPresent(3);
    const std::string path = FakeDriver::HartPath(3);
    EXPECT_EQ(hart_subscribe(index, 0x1E), HDRV_SUCCESS);
    EXPECT_EQ(driver->LastMask(path), 0x73);
    EXPECT_EQ(hart_subscribe(index, 0x00), HDRV_SUCCESS);
    EXPECT_EQ(driver->LastMask(path), 0x02);
    EXPECT_EQ(hart_subscribe(index, 0x1F0 /* only the low byte; unknown bits ignored */), HDRV_SUCCESS);
    EXPECT_EQ(driver->LastMask(path), 0x02 | 0x10);
    EXPECT_EQ(hart_subscribe(index, 0x02), HDRV_SUCCESS);
    EXPECT_EQ(driver->LastMask(path), 0x42);
    HartConfig config{0x80, 2};
    EXPECT_EQ(hart_configure(index, &config), HDRV_SUCCESS);
    EXPECT_EQ(driver->LastMask(path), 0x02); // configuring puts the driver back to this master's replies
}

TEST_F(Api, RefusedSubscriptionPutsThePreviousMaskBack) {
    Attach();
    uint16_t index = OpenPresent(3);
    const std::string path = FakeDriver::HartPath(3);
    ASSERT_EQ(hart_subscribe(index, 0x04), HDRV_SUCCESS); // 0x22
    driver->FailNextIoctl(path, IOCTL_HART_SET_READ_MASK, ERROR_GEN_FAILURE);
    EXPECT_EQ(hart_subscribe(index, 0x1E), HDRV_FAILURE);
    auto ioctls = driver->Ioctls(path);
    ASSERT_GE(ioctls.size(), 2u);
    EXPECT_EQ(ioctls[ioctls.size() - 2].input, Bytes{0x73}); // refused
    EXPECT_EQ(ioctls.back().input, Bytes{0x22});             // the previous mask again
}

TEST_F(Api, SubscribingAnAbsentDeviceIsRemembered) {
    Attach();
    uint16_t index = Open("HART3");
    EXPECT_EQ(hart_subscribe(index, 0x1E), HDRV_SUCCESS);
    EXPECT_TRUE(driver->Ioctls(FakeDriver::HartPath(3)).empty());
}

TEST_F(Api, RecordsComeOutInTheOrderTheyWereQueued) {
    Attach();
    uint16_t index = OpenPresent(3);
    driver->SetResponder(FakeDriver::HartPath(3), [](const Bytes& frame) { return SlaveReply(frame[6]); });
    for (uint16_t tag = 1; tag <= 6; ++tag) {
        HartMessage m = Request(tag);
        ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    }
    for (uint16_t tag = 1; tag <= 6; ++tag) {
        HartMessage record{};
        ASSERT_TRUE(NextRecord(index, &record)) << tag;
        EXPECT_EQ(record.RequestTag, tag);
        EXPECT_EQ(record.Data[7], tag);
        EXPECT_EQ(record.Length, 12);
        EXPECT_EQ(record.Status, 6);
        EXPECT_EQ(record.Error, 0);
    }
    EXPECT_TRUE(NoRecord(index));
    auto writes = driver->Writes(FakeDriver::HartPath(3));
    ASSERT_EQ(writes.size(), 6u);
    EXPECT_EQ(writes[0].size(), 9u); // exactly Length bytes went out
}

TEST_F(Api, RequestsWithoutBytesOrBeyondTheRecordAreNotSent) {
    Attach();
    uint16_t index = OpenPresent(3);
    HartMessage empty = Request(21, 0), oversize = Request(22);
    oversize.Length = HART_MESSAGE_DATA_SIZE + 1;
    ASSERT_EQ(hart_write(index, &empty), HDRV_SUCCESS);
    ASSERT_EQ(hart_write(index, &oversize), HDRV_SUCCESS);
    for (uint16_t tag : {21, 22}) {
        HartMessage record{};
        ASSERT_TRUE(NextRecord(index, &record));
        EXPECT_EQ(record.RequestTag, tag);
        EXPECT_EQ(record.Error, -1);
        EXPECT_EQ(record.Status, 6);
        EXPECT_EQ(record.Length, 0);
    }
    EXPECT_TRUE(driver->Writes(FakeDriver::HartPath(3)).empty());
}

TEST_F(Api, StatusTellsFrameKindAndOtherMaster) {
    Attach();
    uint16_t index = OpenPresent(3);
    const std::string path = FakeDriver::HartPath(3);
    HartMessage m = Request(40);
    driver->SetResponder(path, [](const Bytes&) { return SlaveReply(1, 0x80); });
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Status, 0x06);
    EXPECT_EQ(record.RequestTag, 40);

    driver->DeliverFrame(path, SlaveReply(1, 0x00)); // a reply to the secondary master
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Status, 0x86);
    EXPECT_EQ(record.RequestTag, 0);

    driver->DeliverFrame(path, {0x81, 0xA6, 0x01, 0x00, 0x27}); // a burst frame of this master
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Status, 0x01);
    EXPECT_EQ(record.RequestTag, 0);
    EXPECT_EQ(record.Length, 5);

    HartConfig secondary{0x00, 3};
    ASSERT_EQ(hart_configure(index, &secondary), HDRV_SUCCESS);
    driver->DeliverFrame(path, SlaveReply(1, 0x00));
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Status, 0x06); // now this master's own reply
    EXPECT_EQ(record.RequestTag, 40);
}

TEST_F(Api, ClosingAPresentDeviceClosesIt) {
    Attach();
    uint16_t index = OpenPresent(3);
    auto controller = Controller(index);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
    EXPECT_EQ(driver->OpenFiles(FakeDriver::HartPath(3)), 0);
    EXPECT_FALSE(controller->IsStarted());
    EXPECT_EQ(hart_close(index), HDRV_FAILURE);
}

TEST_F(Api, DeviceThatCannotBeClosedStillFreesTheSlot) {
    Attach();
    uint16_t index = OpenPresent(3);
    driver->SetCloseError(FakeDriver::HartPath(3), ERROR_GEN_FAILURE);
    EXPECT_EQ(hart_close(index), HDRV_FAILURE);
    EXPECT_EQ(Lib().Table().Get(index), nullptr);
}

} // namespace
} // namespace zelhart::hartif::testing

// The communication thread: reads, writes, failure records, device loss, reconnection, notification.
#include "library_fixture.h"

#include <cstring>

namespace zelhart::hartif::testing {
namespace {

using CommunicationThread = LibraryFixture;

const std::string kPath3 = FakeDriver::HartPath(3);

TEST_F(CommunicationThread, ReconnectsAfterDeviceLossWithTheRememberedConfigurationAndSubscription) {
    Attach();
    uint16_t index = OpenPresent(3);
    HartConfig config{0x00600000, 0x00060004};
    ASSERT_EQ(hart_configure(index, &config), HDRV_SUCCESS);
    ASSERT_EQ(hart_subscribe(index, 0x1E), HDRV_SUCCESS);

    driver->RemoveDevice(kPath3); // the pending read ends with ERROR_OPERATION_ABORTED
    ASSERT_TRUE(driver->WaitUntil([&] { return !Controller(index)->IsPresent() && driver->OpenFiles(kPath3) == 0; }));
    EXPECT_TRUE(NoRecord(index)); // a lost device leaves no record of its own

    HartMessage request = Request(77);
    ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.RequestTag, 77);
    EXPECT_EQ(record.Error, -1);

    const size_t ioctlsBefore = driver->Ioctls(kPath3).size();
    Lib().OnDeviceChange("COM3", "/dev/ttyUSB7", true); // the port arrives; the driver makes the device
    ASSERT_TRUE(NextRecord(index, &record));
    HartMessage zero{};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof(zero)), 0); // the device is back

    auto modemInit = driver->Ioctls(FakeDriver::kFunctionPath);
    ASSERT_EQ(modemInit.size(), 1u);
    EXPECT_EQ(modemInit[0].code, IOCTL_HART_MODEM_INIT);
    EXPECT_EQ(modemInit[0].input.size(), 520u);

    auto ioctls = driver->Ioctls(kPath3);
    ASSERT_GT(ioctls.size(), ioctlsBefore);
    EXPECT_EQ(driver->LastProtocol(kPath3), (HartProtocolInfo{0, 0x00, 4}));
    EXPECT_EQ(driver->LastMask(kPath3), 0x73);
    EXPECT_EQ(ioctls.back().code, IOCTL_HART_SET_READ_MASK); // the subscription goes on last
    EXPECT_TRUE(driver->ReadPending(kPath3));

    driver->SetResponder(kPath3, [](const Bytes&) { return SlaveReply(0, 0x00); });
    request = Request(78);
    ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Status, 6); // a secondary master's reply, as configured
    EXPECT_EQ(record.RequestTag, 78);
}

TEST_F(CommunicationThread, NeverConfiguredDeviceComesBackAsItWasFirstSetUp) {
    Attach();
    uint16_t index = OpenPresent(3);
    driver->RemoveDevice(kPath3);
    ASSERT_TRUE(driver->WaitUntil([&] { return !Controller(index)->IsPresent(); }));
    Lib().OnDeviceChange("COM3", "/dev/ttyUSB7", true);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(driver->LastProtocol(kPath3), (HartProtocolInfo{0, 0x80, 2}));
    EXPECT_EQ(driver->LastMask(kPath3), 0x02);
}

TEST_F(CommunicationThread, ReceivedFrameAndFailedWriteOfOneWakeUpAreBothQueued) {
    Attach();
    uint16_t index = OpenPresent(3);
    driver->HoldWrites(true);
    HartMessage first = Request(1), second = Request(2);
    ASSERT_EQ(hart_write(index, &first), HDRV_SUCCESS);
    ASSERT_TRUE(driver->WaitUntil([&] { return driver->WritesStarted(kPath3) == 1; })); // thread inside the write
    ASSERT_EQ(hart_write(index, &second), HDRV_SUCCESS);
    driver->DeliverFrame(kPath3, SlaveReply(1)); // the reply completes the read while the write is held
    driver->SetWriteError(kPath3, ERROR_SEM_TIMEOUT); // the next write fails
    driver->HoldWrites(false);

    HartMessage frame{}, failure{};
    ASSERT_TRUE(NextRecord(index, &frame));
    ASSERT_TRUE(NextRecord(index, &failure));
    EXPECT_EQ(frame.Length, 12);
    EXPECT_EQ(frame.Status, 6);
    EXPECT_EQ(frame.RequestTag, 1);
    EXPECT_EQ(failure.Length, 0);
    EXPECT_EQ(failure.Error, -1);
    EXPECT_EQ(failure.RequestTag, 2);
    EXPECT_TRUE(NoRecord(index));
}

TEST_F(CommunicationThread, EveryQueuedRequestIsAnsweredEvenWhenNoReplyWakesTheThread) {
    Attach();
    uint16_t index = OpenPresent(3);
    driver->SetWriteError(kPath3, ERROR_SEM_TIMEOUT); // no slave answers: no read completes
    for (uint16_t tag = 10; tag < 14; ++tag) {
        HartMessage m = Request(tag);
        ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    }
    for (uint16_t tag = 10; tag < 14; ++tag) {
        HartMessage record{};
        ASSERT_TRUE(NextRecord(index, &record)) << tag;
        EXPECT_EQ(record.RequestTag, tag);
        EXPECT_EQ(record.Error, -1);
    }
}

TEST_F(CommunicationThread, FailedReadGivesErrorMinusTwoWithTheLastTagAndReadsOn) {
    Attach();
    uint16_t index = OpenPresent(3);
    HartMessage m = Request(7);
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    ASSERT_TRUE(driver->WaitUntil([&] { return driver->Writes(kPath3).size() == 1; }));
    driver->DeliverFrame(kPath3, SlaveReply(3), ERROR_CRC);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Length, 0);
    EXPECT_EQ(record.Status, 6);
    EXPECT_EQ(record.Error, -2);
    EXPECT_EQ(record.RequestTag, 7);
    EXPECT_EQ(record.Data[0], 0);
    EXPECT_TRUE(driver->WaitUntil([&] { return driver->ReadPending(kPath3); }));
    EXPECT_TRUE(Controller(index)->IsPresent());
}

TEST_F(CommunicationThread, EmptyReadCarriesNoRecord) {
    Attach();
    uint16_t index = OpenPresent(3);
    driver->DeliverFrame(kPath3, {});
    driver->DeliverFrame(kPath3, SlaveReply(9)); // waits for the restarted read
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Length, 12);
    EXPECT_TRUE(NoRecord(index));
}

TEST_F(CommunicationThread, FrameWaitingBeforeTheReadIsTakenAtOnce) {
    Attach();
    driver->AddDevice(kPath3);
    driver->DeliverFrame(kPath3, SlaveReply(5)); // kept by the driver: the read completes when started
    uint16_t index = Open("HART3");
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Data[7], 5);
    EXPECT_TRUE(driver->WaitUntil([&] { return driver->ReadPending(kPath3); }));
}

TEST_F(CommunicationThread, PortRemovalClosesTheDeviceAndLaterRequestsFail) {
    Attach();
    driver->SetSignalOnClose(true); // the abandoned read still signals, as a cancelled read does
    uint16_t index = OpenPresent(3);
    Lib().OnDeviceChange("COM3", "", false);
    ASSERT_TRUE(driver->WaitUntil([&] { return driver->OpenFiles(kPath3) == 0; }));
    ASSERT_TRUE(driver->WaitUntil([&] { return !Controller(index)->IsStarted(); }));
    HartMessage m = Request(31);
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.RequestTag, 31);
    EXPECT_EQ(record.Error, -1);
    EXPECT_TRUE(NoRecord(index)); // the late completion of the closed read left nothing behind
    // A second removal of a device no longer present is ignored.
    Lib().OnDeviceChange("COM3", "", false);
    EXPECT_EQ(hart_close(index), HDRV_FAILURE);
}

TEST_F(CommunicationThread, ArrivalWhilePresentStillAnnouncesThePortButChangesNothing) {
    Attach();
    uint16_t index = OpenPresent(3);
    Lib().OnDeviceChange("COM3", "/dev/ttyUSB7", true);
    EXPECT_EQ(driver->Ioctls(FakeDriver::kFunctionPath).size(), 1u);
    // Once the thread has taken the arrival, a request's answer comes after whatever it queued.
    ASSERT_TRUE(driver->WaitUntil([&] { return !Controller(index)->EventSignalled(EVT_PORT_ARRIVAL); }));
    HartMessage m = Request(5);
    driver->SetResponder(kPath3, [](const Bytes&) { return SlaveReply(5); });
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.RequestTag, 5);
    EXPECT_EQ(record.Length, 12); // no "device is back" record came first
    EXPECT_EQ(driver->OpenCount(kPath3), 1);
}

TEST_F(CommunicationThread, EveryQueuedRecordIsPostedToTheRegisteredDescriptor) {
    Attach();
    uint16_t index = Open("HART3");
    Notifications posts;
    AppRegistryInfo reg = posts.Registration(0x8001, 7, -9);
    ASSERT_EQ(hart_register(index, &reg), HDRV_SUCCESS);
    HartMessage m = Request(1);
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    AppRegistryInfo got{};
    ASSERT_TRUE(posts.Next(&got));
    EXPECT_EQ(got.Msg, 0x8001u);
    EXPECT_EQ(got.wParam, 7);
    EXPECT_EQ(got.lParam, -9);

    // A null registration keeps the previous one.
    ASSERT_EQ(hart_register(index, nullptr), HDRV_SUCCESS);
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    ASSERT_TRUE(posts.Next());
    // Two records waiting: reading one posts again for the other; registering posts at once.
    ASSERT_EQ(hart_read(index, &m), HDRV_SUCCESS);
    ASSERT_TRUE(posts.Next());
    ASSERT_EQ(hart_register(index, &reg), HDRV_SUCCESS);
    ASSERT_TRUE(posts.Next());
    ASSERT_EQ(hart_read(index, &m), HDRV_SUCCESS);
    EXPECT_TRUE(posts.Empty()); // nothing left, nothing posted
}

TEST_F(CommunicationThread, NothingIsPostedWithoutATarget) {
    Attach();
    uint16_t index = Open("HART3");
    Notifications posts;
    AppRegistryInfo reg = posts.Registration();
    ASSERT_EQ(hart_register(index, &reg), HDRV_SUCCESS);
    AppRegistryInfo off{0, 0x8001, 1, 2};
    ASSERT_EQ(hart_register(index, &off), HDRV_SUCCESS);
    HartMessage m = Request(1);
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    ASSERT_TRUE(driver->WaitUntil([&] { return Controller(index)->WaitingRecords() == 2; }));
    ASSERT_EQ(hart_read(index, &m), HDRV_SUCCESS); // one remains: still nothing to post to
    EXPECT_TRUE(posts.Empty());
}

TEST_F(CommunicationThread, PostToAClosedReaderIsDroppedQuietly) {
    Attach();
    uint16_t index = Open("HART3");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]); // nobody reads: a plain write would raise SIGPIPE
    AppRegistryInfo reg{fds[1], 1, 2, 3};
    ASSERT_EQ(hart_register(index, &reg), HDRV_SUCCESS);
    HartMessage m = Request(1);
    ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    HartMessage record{};
    EXPECT_TRUE(NextRecord(index, &record));
    AppRegistryInfo off{};
    ASSERT_EQ(hart_register(index, &off), HDRV_SUCCESS);
    ::close(fds[1]);
}

TEST_F(CommunicationThread, DisconnectStopsTheThreadOfADeviceNeverPresent) {
    Attach();
    uint16_t index = Open("HART3");
    auto controller = Controller(index);
    EXPECT_TRUE(controller->IsStarted());
    EXPECT_EQ(hart_close(index), HDRV_FAILURE);
    EXPECT_FALSE(controller->IsStarted());
    EXPECT_EQ(controller->ThreadResult(), -1); // no read was ever started
}

} // namespace
} // namespace zelhart::hartif::testing

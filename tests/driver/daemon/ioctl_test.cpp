// The I/O control codes of both device kinds, their failure rows and the edge cases of the protocol
// settings, through the daemon's socket.
#include "daemon_fixture.h"

#include <filesystem>

namespace zelhart::testing {
namespace {

class IoctlTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        StartSim(comA_);
        StartDaemon();
        function_ = OpenFunctionDevice();
        hart_ = OpenHart(comA_);
        ASSERT_TRUE(function_ && hart_);
    }
    std::unique_ptr<DeviceFile> function_, hart_;
};

TEST_F(IoctlTest, ProtocolDefaultsAndMasterTypeRules) {
    EXPECT_EQ(GetProtocol(*hart_), (HartProtocolInfo{0, 0x80, 2}));
    // 0x81 has a bit of 0-6 set: the master type stays, the retry count is taken.
    ASSERT_EQ(SetProtocol(*hart_, 0, 0x81, 5), STATUS_SUCCESS);
    EXPECT_EQ(GetProtocol(*hart_), (HartProtocolInfo{0, 0x80, 5}));
    ASSERT_EQ(SetProtocol(*hart_, 0, 0x00, 4), STATUS_SUCCESS);
    EXPECT_EQ(GetProtocol(*hart_), (HartProtocolInfo{0, 0x00, 4}));
    ASSERT_EQ(SetProtocol(*hart_, 0, 0x40, 3), STATUS_SUCCESS);
    EXPECT_EQ(GetProtocol(*hart_), (HartProtocolInfo{0, 0x00, 3}));
}

TEST_F(IoctlTest, SlaveModeIsSelectedOnceAndRefusesWrites) {
    ASSERT_EQ(SetProtocol(*hart_, 1, 0x80, 2), STATUS_SUCCESS);
    EXPECT_EQ(GetProtocol(*hart_).StateMachineMode, 1);
    ASSERT_EQ(SetProtocol(*hart_, 0, 0x80, 2), STATUS_SUCCESS); // no way back
    EXPECT_EQ(GetProtocol(*hart_).StateMachineMode, 1);

    PendingIo write;
    StartWrite(*hart_, write, ShortRequest(0));
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.Status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(CountHeard(comA_), 0);
}

TEST_F(IoctlTest, ReadMaskIsStoredAsGiven) {
    uint8_t in = 0, mask = 0;
    uint32_t n = 0;
    ASSERT_EQ(Ioctl(*hart_, IOCTL_HART_GET_READ_MASK, &in, 1, &mask, 1, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(mask, 0x02);
    uint8_t all = 0xFF;
    ASSERT_EQ(Ioctl(*hart_, IOCTL_HART_SET_READ_MASK, &all, 1), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(*hart_, IOCTL_HART_GET_READ_MASK, &in, 1, &mask, 1, &n), STATUS_SUCCESS);
    EXPECT_EQ(mask, 0xFF);
}

TEST_F(IoctlTest, ReadMaskWithoutTheAckBitWithholdsReplies) {
    uint8_t none = 0x00;
    ASSERT_EQ(Ioctl(*hart_, IOCTL_HART_SET_READ_MASK, &none, 1), STATUS_SUCCESS);
    PendingIo read(300), write;
    StartRead(*hart_, read);
    StartWrite(*hart_, write, ShortRequest(0));
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.Status(), STATUS_SUCCESS); // the reply still ends the exchange
    EXPECT_FALSE(read.Wait(300));              // but no reader sees it
    hart_->CancelIoEx(&read.ov);
    ASSERT_TRUE(read.Wait());
}

TEST_F(IoctlTest, SubscribeAndUnsubscribe) {
    Event event;
    uint32_t handle = static_cast<uint32_t>(event.fd());
    ASSERT_EQ(
        Ioctl(*hart_, IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, &handle, 4, nullptr, 0, nullptr, &event),
        STATUS_SUCCESS);
    uint8_t ignored = 0;
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, &ignored, 1), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, &ignored, 1), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(event.IsSet());
}

TEST_F(IoctlTest, SubscribeFailures) {
    uint16_t tooShort = 0;
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, &tooShort, 2),
              STATUS_INVALID_PARAMETER);
    // A handle that names no event: the request succeeds, but nothing is held.
    uint32_t bogus = 12345;
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, &bogus, 4), STATUS_SUCCESS);
    uint8_t ignored = 0;
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, &ignored, 1), STATUS_UNSUCCESSFUL);
}

TEST_F(IoctlTest, UnknownCodesOnEitherDevice) {
    uint8_t buffer[8] = {};
    // Unassigned functions, and each device kind's codes sent to the other.
    for (uint32_t code : {HartCtlCode(914), HartCtlCode(917), HartCtlCode(919), IOCTL_HART_MODEM_INIT,
                          IOCTL_HART_ENUMERATE_DEVICES})
        EXPECT_EQ(Ioctl(*hart_, code, buffer, sizeof(buffer)), STATUS_NOT_SUPPORTED) << std::hex << code;
    for (uint32_t code : {HartCtlCode(918), IOCTL_HART_SET_PROTOCOL, IOCTL_HART_GET_READ_MASK,
                          IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE})
        EXPECT_EQ(Ioctl(*function_, code, buffer, sizeof(buffer), buffer, sizeof(buffer)),
                  STATUS_NOT_SUPPORTED)
            << std::hex << code;
}

TEST_F(IoctlTest, BuffersBelowTheMinimumAreRefused) {
    uint8_t buffer[600] = {};
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_SET_BAUD_RATE, buffer, 3), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_SET_PROTOCOL, buffer, 3), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_GET_PROTOCOL, buffer, 3, buffer, 4), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_GET_PROTOCOL, buffer, 4, buffer, 3), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_SET_READ_MASK, buffer, 0), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_GET_READ_MASK, buffer, 1, buffer, 0), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_GET_READ_MASK, buffer, 0, buffer, 1), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, buffer, 0),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*function_, IOCTL_HART_MODEM_INIT, buffer, 519), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(*function_, IOCTL_HART_ENUMERATE_DEVICES, buffer, 0), STATUS_BUFFER_TOO_SMALL);
    // Nothing was changed by the refused requests.
    EXPECT_EQ(GetProtocol(*hart_), (HartProtocolInfo{0, 0x80, 2}));
}

TEST_F(IoctlTest, SetBaudRateOnAnOpenPortSucceeds) {
    uint32_t rate = 9600;
    EXPECT_EQ(Ioctl(*hart_, IOCTL_HART_SET_BAUD_RATE, &rate, 4), STATUS_SUCCESS);
}

TEST_F(IoctlTest, ModemInitRecreatesNothingThatExistsAndCreatesWhatArrived) {
    auto& sim3 = *sims_[comA_];
    HartModemInitInfo existing = ModemInitInfo(sim3.portPath(), "COM" + std::to_string(comA_));
    EXPECT_EQ(Ioctl(*function_, IOCTL_HART_MODEM_INIT, &existing, sizeof(existing)),
              STATUS_OBJECT_NAME_COLLISION);

    // A port that arrived after the HART devices were made.
    uint32_t error = 0;
    auto& sim5 = StartSim(comC_);
    EXPECT_FALSE(OpenHart(comC_, &error));
    EXPECT_EQ(error, platform::ERROR_FILE_NOT_FOUND);
    HartModemInitInfo arrived = ModemInitInfo(sim5.portPath(), "COM" + std::to_string(comC_));
    ASSERT_EQ(Ioctl(*function_, IOCTL_HART_MODEM_INIT, &arrived, sizeof(arrived)), STATUS_SUCCESS);
    auto hart5 = OpenHart(comC_);
    ASSERT_TRUE(hart5);
    ExchangeResult r = Exchange(*hart5, ShortRequest(0));
    EXPECT_EQ(r.readStatus, STATUS_SUCCESS);
}

TEST_F(IoctlTest, ModemInitRefusesMalformedRecordsAndUnknownPorts) {
    const std::string path = sims_[comA_]->portPath();
    auto refused = [&](HartModemInitInfo info, const char* what) {
        EXPECT_EQ(Ioctl(*function_, IOCTL_HART_MODEM_INIT, &info, sizeof(info)), STATUS_INVALID_PARAMETER)
            << what;
    };
    HartModemInitInfo r = ModemInitInfo(path, "COM" + std::to_string(comD_));
    r.PortNameLength = 8; // shorter than "COM" and a digit
    refused(r, "short port name");
    r = ModemInitInfo(path, "COM" + std::to_string(comD_));
    r.PortNameLength = 300;
    refused(r, "port name longer than its field");
    r = ModemInitInfo(path, "COM" + std::to_string(comD_));
    r.SerialDeviceNameLength = 400;
    refused(r, "device name longer than its field");
    r = ModemInitInfo(path, "COM" + std::to_string(comD_));
    r.SerialDeviceNameLength += 2; // the terminator is not where the length says
    refused(r, "length past the terminator");
    refused(ModemInitInfo(path, "LPT6"), "not a COM port");
    refused(ModemInitInfo(path, "COMx"), "no number");
    // A device the serial port map does not have under that name.
    refused(ModemInitInfo("/etc/passwd", "COM" + std::to_string(comD_)), "not a serial port");
    refused(ModemInitInfo(path, "COM" + std::to_string(comD_)), "a port mapped under another COM name");
    uint32_t error = 0;
    EXPECT_FALSE(OpenHart(comD_, &error));
}

TEST_F(IoctlTest, EnumerateDevicesAddsNewPortsWithoutDuplicates) {
    StartSim(comE_);
    uint8_t ignored = 0;
    ASSERT_EQ(Ioctl(*function_, IOCTL_HART_ENUMERATE_DEVICES, &ignored, 1), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(*function_, IOCTL_HART_ENUMERATE_DEVICES, &ignored, 1), STATUS_SUCCESS);
    auto hart7 = OpenHart(comE_);
    ASSERT_TRUE(hart7);
    // HART device 3 is the one it was: still open here, so a second open is refused.
    uint32_t error = 0;
    EXPECT_FALSE(OpenHart(comA_, &error));
    EXPECT_EQ(error, platform::ERROR_ACCESS_DENIED);
}

} // namespace
} // namespace zelhart::testing

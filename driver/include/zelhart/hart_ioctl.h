// The contract between user mode and ZelHartDriver: device I/O control codes, the records they carry,
// the receive mask bits and the names of the driver's devices. One definition for the driver, the
// interface library and their tests.
//
// Every code is CTL_CODE(0x9C40, function, METHOD_BUFFERED, FILE_ANY_ACCESS): input and output share
// one system buffer. Records are little-endian and packed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelhart {

constexpr uint32_t HartCtlCode(uint32_t function) {
    constexpr uint32_t kDeviceType = 0x9C40, kMethodBuffered = 0, kFileAnyAccess = 0;
    return (kDeviceType << 16) | (kFileAnyAccess << 14) | (function << 2) | kMethodBuffered;
}

// HART device (one per serial port); minimum input / output:
//   SET_BAUD_RATE 4 (the rate) / -       GET_PROTOCOL 4 (ignored) / 4 (HartProtocolInfo)
//   SET_PROTOCOL 4 (HartProtocolInfo) / - GET_READ_MASK 1 (ignored) / 1 (Rcv_Mask)
//   SET_READ_MASK 1 (Rcv_Mask) / -        PNP_EVT_NOTIFICATIONS_SUBSCRIBE 4 (an event handle) / -
//   PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE 1 (ignored) / -
inline constexpr uint32_t IOCTL_HART_SET_BAUD_RATE = 0x9C400E3C;
inline constexpr uint32_t IOCTL_HART_GET_PROTOCOL = 0x9C400E40;
inline constexpr uint32_t IOCTL_HART_SET_PROTOCOL = 0x9C400E44;
inline constexpr uint32_t IOCTL_HART_GET_READ_MASK = 0x9C400E4C;
inline constexpr uint32_t IOCTL_HART_SET_READ_MASK = 0x9C400E50;
inline constexpr uint32_t IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE = 0x9C400E64;
inline constexpr uint32_t IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE = 0x9C400E68;
// Function device: ENUMERATE_DEVICES 1 (ignored) / -; MODEM_INIT 520 (HartModemInitInfo) / -.
inline constexpr uint32_t IOCTL_HART_ENUMERATE_DEVICES = 0x9C400E60;
inline constexpr uint32_t IOCTL_HART_MODEM_INIT = 0x9C400E6C;

static_assert(IOCTL_HART_SET_BAUD_RATE == HartCtlCode(911));
static_assert(IOCTL_HART_GET_PROTOCOL == HartCtlCode(912));
static_assert(IOCTL_HART_SET_PROTOCOL == HartCtlCode(913));
static_assert(IOCTL_HART_GET_READ_MASK == HartCtlCode(915));
static_assert(IOCTL_HART_SET_READ_MASK == HartCtlCode(916));
static_assert(IOCTL_HART_ENUMERATE_DEVICES == HartCtlCode(920));
static_assert(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE == HartCtlCode(921));
static_assert(IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE == HartCtlCode(922));
static_assert(IOCTL_HART_MODEM_INIT == HartCtlCode(923));

// Rcv_Mask bits: which received frames are handed to readers. A frame is "this master's" when bit 7
// of its first address byte equals bit 7 of MasterType (in slave mode every frame is).
inline constexpr uint8_t RCV_MASK_BACK_THIS_MASTER = 0x01;
inline constexpr uint8_t RCV_MASK_ACK_THIS_MASTER = 0x02;
inline constexpr uint8_t RCV_MASK_STX_THIS_MASTER = 0x04;
inline constexpr uint8_t RCV_MASK_BACK_OTHER_MASTER = 0x10;
inline constexpr uint8_t RCV_MASK_ACK_OTHER_MASTER = 0x20;
inline constexpr uint8_t RCV_MASK_STX_OTHER_MASTER = 0x40;

// HartProtocolInfo.MasterType and StateMachineMode.
inline constexpr uint8_t HART_PRIMARY_MASTER = 0x80;
inline constexpr uint8_t HART_SECONDARY_MASTER = 0x00;
inline constexpr uint16_t HART_MODE_MASTER = 0;
inline constexpr uint16_t HART_MODE_SLAVE = 1;

#pragma pack(push, 1)
// Output of IOCTL_HART_GET_PROTOCOL, input of IOCTL_HART_SET_PROTOCOL.
struct HartProtocolInfo {
    uint16_t StateMachineMode = 0; // 0 master, 1 slave
    uint8_t MasterType = 0;        // HART_PRIMARY_MASTER or HART_SECONDARY_MASTER
    uint8_t RetryCount = 0;        // retransmissions after the first attempt of a write

    bool operator==(const HartProtocolInfo&) const = default;
};

// Input of IOCTL_HART_MODEM_INIT: a port that arrived, as the serial port map names it.
struct HartModemInitInfo {
    char16_t SerialDeviceName[128];  // the port's device ("/dev/ttyUSB0"), UTF-16, NUL-terminated
    uint32_t SerialDeviceNameLength; // bytes including the NUL; the driver uses the low 16 bits
    char16_t PortName[128];          // "COM3", UTF-16, NUL-terminated
    uint32_t PortNameLength;         // bytes including the NUL
};
#pragma pack(pop)

static_assert(sizeof(HartProtocolInfo) == 4);
static_assert(offsetof(HartProtocolInfo, StateMachineMode) == 0);
static_assert(offsetof(HartProtocolInfo, MasterType) == 2);
static_assert(offsetof(HartProtocolInfo, RetryCount) == 3);

static_assert(sizeof(HartModemInitInfo) == 520);
static_assert(offsetof(HartModemInitInfo, SerialDeviceName) == 0);
static_assert(offsetof(HartModemInitInfo, SerialDeviceNameLength) == 256);
static_assert(offsetof(HartModemInitInfo, PortName) == 260);
static_assert(offsetof(HartModemInitInfo, PortNameLength) == 516);

// The device interface class of the driver's function device.
inline constexpr const char* kHartFunctionDeviceInterface = "{DD2540C5-808A-4461-89FE-9CCE766B8E77}";

// HART device of COM<n>: kernel name kHartDeviceNamePrefix + n, link kHartLinkNamePrefix + n; user mode
// opens "\\.\" + kHartDeviceLinkTail + n.
inline constexpr const char* kHartDeviceNamePrefix = "\\Device\\{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_Hart";
inline constexpr const char* kHartLinkNamePrefix =
    "\\DosDevices\\{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART";
inline constexpr const char* kHartDeviceLinkTail = "{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART";

} // namespace zelhart

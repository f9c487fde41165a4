// The serial port control codes and records an I/O target on a serial port understands, with the
// values of the serial driver interface they come from.
#pragma once

#include <cstdint>

namespace zelhart::drvfw {

// CTL_CODE(FILE_DEVICE_SERIAL_PORT = 0x1B, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t SerialIoctl(uint32_t function) {
    return (0x1Bu << 16) | (function << 2);
}

inline constexpr uint32_t IOCTL_SERIAL_SET_BAUD_RATE = SerialIoctl(1);     // 0x001B0004
inline constexpr uint32_t IOCTL_SERIAL_SET_LINE_CONTROL = SerialIoctl(3);  // 0x001B000C
inline constexpr uint32_t IOCTL_SERIAL_SET_TIMEOUTS = SerialIoctl(7);      // 0x001B001C
inline constexpr uint32_t IOCTL_SERIAL_GET_TIMEOUTS = SerialIoctl(8);      // 0x001B0020
inline constexpr uint32_t IOCTL_SERIAL_SET_DTR = SerialIoctl(9);           // 0x001B0024
inline constexpr uint32_t IOCTL_SERIAL_CLR_DTR = SerialIoctl(10);          // 0x001B0028
inline constexpr uint32_t IOCTL_SERIAL_SET_RTS = SerialIoctl(12);          // 0x001B0030
inline constexpr uint32_t IOCTL_SERIAL_CLR_RTS = SerialIoctl(13);          // 0x001B0034
inline constexpr uint32_t IOCTL_SERIAL_GET_WAIT_MASK = SerialIoctl(16);    // 0x001B0040
inline constexpr uint32_t IOCTL_SERIAL_SET_WAIT_MASK = SerialIoctl(17);    // 0x001B0044
inline constexpr uint32_t IOCTL_SERIAL_PURGE = SerialIoctl(19);            // 0x001B004C
inline constexpr uint32_t IOCTL_SERIAL_GET_BAUD_RATE = SerialIoctl(20);    // 0x001B0050
inline constexpr uint32_t IOCTL_SERIAL_GET_LINE_CONTROL = SerialIoctl(21); // 0x001B0054
inline constexpr uint32_t IOCTL_SERIAL_GET_HANDFLOW = SerialIoctl(24);     // 0x001B0060
inline constexpr uint32_t IOCTL_SERIAL_SET_HANDFLOW = SerialIoctl(25);     // 0x001B0064
inline constexpr uint32_t IOCTL_SERIAL_SET_FIFO_CONTROL = SerialIoctl(39); // 0x001B009C

static_assert(IOCTL_SERIAL_SET_HANDFLOW == 0x001B0064 && IOCTL_SERIAL_SET_FIFO_CONTROL == 0x001B009C);

#pragma pack(push, 1)
struct SERIAL_BAUD_RATE {
    uint32_t BaudRate;
};

struct SERIAL_LINE_CONTROL {
    uint8_t StopBits;   // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
    uint8_t Parity;     // NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY
    uint8_t WordLength; // 5..8
};

struct SERIAL_HANDFLOW {
    uint32_t ControlHandShake;
    uint32_t FlowReplace;
    int32_t XonLimit;
    int32_t XoffLimit;
};

struct SERIAL_TIMEOUTS {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};
#pragma pack(pop)

static_assert(sizeof(SERIAL_LINE_CONTROL) == 3 && sizeof(SERIAL_HANDFLOW) == 16 &&
              sizeof(SERIAL_TIMEOUTS) == 20);

inline constexpr uint8_t STOP_BIT_1 = 0, STOP_BITS_1_5 = 1, STOP_BITS_2 = 2;
inline constexpr uint8_t NO_PARITY = 0, ODD_PARITY = 1, EVEN_PARITY = 2, MARK_PARITY = 3, SPACE_PARITY = 4;

// SERIAL_HANDFLOW.ControlHandShake
inline constexpr uint32_t SERIAL_DTR_MASK = 0x03;
inline constexpr uint32_t SERIAL_DTR_CONTROL = 0x01;
inline constexpr uint32_t SERIAL_DTR_HANDSHAKE = 0x02;
inline constexpr uint32_t SERIAL_CTS_HANDSHAKE = 0x08;
// SERIAL_HANDFLOW.FlowReplace
inline constexpr uint32_t SERIAL_AUTO_TRANSMIT = 0x01;
inline constexpr uint32_t SERIAL_AUTO_RECEIVE = 0x02;
inline constexpr uint32_t SERIAL_RTS_MASK = 0xC0;
inline constexpr uint32_t SERIAL_RTS_CONTROL = 0x40;
inline constexpr uint32_t SERIAL_RTS_HANDSHAKE = 0x80;
inline constexpr uint32_t SERIAL_TRANSMIT_TOGGLE = 0xC0;

// IOCTL_SERIAL_PURGE
inline constexpr uint32_t SERIAL_PURGE_TXABORT = 0x01;
inline constexpr uint32_t SERIAL_PURGE_RXABORT = 0x02;
inline constexpr uint32_t SERIAL_PURGE_TXCLEAR = 0x04;
inline constexpr uint32_t SERIAL_PURGE_RXCLEAR = 0x08;

// IOCTL_SERIAL_SET_WAIT_MASK
inline constexpr uint32_t SERIAL_EV_ERR = 0x80;

// IOCTL_SERIAL_SET_FIFO_CONTROL
inline constexpr uint32_t SERIAL_IOC_FCR_FIFO_ENABLE = 0x01;

} // namespace zelhart::drvfw

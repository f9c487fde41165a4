// The serial control codes carried out with termios and the modem-line ioctls on one open port.
#pragma once

#include "zelhart/drvfw/serial_ioctl.h"
#include "zelhart/platform/ntstatus.h"

#include <cstddef>
#include <span>
#include <termios.h>

namespace zelhart::drvfw {

class SerialLine {
  public:
    // Saves the port's settings and puts it into raw mode (8 data bits, no parity, CLOCAL|CREAD,
    // parity and framing errors marked with PARMRK). Detects whether it has modem lines.
    explicit SerialLine(int fd);
    // Restores the saved settings and leaves RS-485 mode if this line entered it.
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    bool rawModeSet() const { return rawModeSet_; }
    // Does Ioctl for every code but the purge abort flags, which concern the target's requests.
    NTSTATUS Ioctl(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output,
                   size_t* returned);

    bool hasModemLines() const { return hasModemLines_; }
    // RTS raised around each write by hand (transmit toggle without kernel RS-485 support).
    bool softwareRtsToggle() const { return softwareRtsToggle_; }
    void SetRts(bool on);
    // Time of one character on the line, in nanoseconds, from the current speed and framing.
    int64_t CharacterTimeNs() const;

  private:
    NTSTATUS SetBaudRate(uint32_t rate);
    NTSTATUS SetLineControl(const SERIAL_LINE_CONTROL& lc);
    NTSTATUS SetHandFlow(const SERIAL_HANDFLOW& hf);
    NTSTATUS ModemLine(int bits, bool on, const char* what);
    NTSTATUS Purge(uint32_t mask);
    NTSTATUS Apply(const termios& t);

    int fd_;
    termios saved_{};
    bool savedValid_ = false;
    bool rawModeSet_ = false;
    bool hasModemLines_ = true;
    bool kernelRs485_ = false;
    bool softwareRtsToggle_ = false;
    bool modemLineTraced_ = false;
    uint32_t baud_ = 9600;
    SERIAL_LINE_CONTROL lineControl_{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_HANDFLOW handFlow_{};
    SERIAL_TIMEOUTS timeouts_{};
    uint32_t waitMask_ = 0;
};

NTSTATUS NtStatusFromErrno(int error);

} // namespace zelhart::drvfw

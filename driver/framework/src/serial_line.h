// The serial control codes carried out with termios and the modem-line ioctls on one open port.
#pragma once

#include "zelhart/drvfw/serial_ioctl.h"
#include "zelhart/platform/ntstatus.h"

#include <cstddef>
#include <optional>
#include <span>
#include <termios.h>

namespace zelhart::drvfw {

class SerialLine {
  public:
    // Saves the port's settings and replaces them with settings built from zero: raw, 8 data bits, no
    // parity, CLOCAL|CREAD, INPCK|PARMRK so that parity and framing errors reach the reader marked
    // (nothing another program left on the port, IGNPAR or IXANY, survives). Asks for
    // ASYNC_LOW_LATENCY (a USB adapter then delivers what it receives at once instead of on its latency
    // timer); a port that refuses is traced. Finds out what kind of device it is and whether it has
    // modem lines and reports the transmitter's state (TIOCSERGETLSR).
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
    // A pseudo-terminal: no modem lines, no parity, no line rate.
    bool pseudoTerminal() const { return kind_ == Kind::PseudoTerminal; }
    // A USB serial port (ttyUSB, ttyACM): received characters may arrive in bursts.
    bool usb() const { return kind_ == Kind::Usb; }
    // Whether the transmitter (FIFO and shift register) is empty: true or false when the port reports
    // it with TIOCSERGETLSR, nullopt when it cannot.
    std::optional<bool> TransmitterEmpty();
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
    // What the port holds now against what was asked; false (and traced) when a setting did not take.
    bool Took(const termios& asked, const char* what);
    void RequestLowLatency();

    enum class Kind { Uart, Usb, PseudoTerminal };
    Kind kind_ = Kind::Uart;
    bool lsrSupported_ = true;

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

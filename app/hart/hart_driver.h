// The program's way to the transmitter: the HART device of one COM port, reached through the
// interface library libZelHartDriverInterface.so, which is loaded at the first open and never unloaded.
//
// CHARTDriver knows nothing of HART framing: it hands whole request frames to the library and collects
// whole received frames from it. The COM port itself is only probed (does it exist, is it free?)
// before its HART device is opened. With the driver's own library (libZelHartDriverInterface.so,
// also when named by its path) it first makes sure that the driver daemon listens at its socket:
// without it the library would open a device that is not there and every exchange would time out.
#pragma once

#include <zelhart/hart_api.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zelhart::hart {

class CHARTDriver {
  public:
    // Reads that DrainInput makes at most.
    static constexpr int kDrainReads = 12;
    // Results of OpenPort besides those of hart_open.
    static constexpr int kNotBound = -1;     // the library could not be loaded
    static constexpr int kPortUnusable = -3; // COM port missing or busy, or an export missing
    static constexpr int kNoDriver = -5;     // no driver daemon listens at its socket

    CHARTDriver() = default;
    // Forgets the library without unloading it: it stays loaded until the process ends.
    virtual ~CHARTDriver();
    CHARTDriver(const CHARTDriver&) = delete;
    CHARTDriver& operator=(const CHARTDriver&) = delete;

    // Loads the library ($ZELHART_INTERFACE_LIBRARY when set, else libZelHartDriverInterface.so by the
    // ordinary search) and binds the seven exports. Returns 0 when all seven are bound, or when the
    // library cannot be loaded at all (all pointers null then); otherwise the position (1 hart_open ..
    // 7 hart_close) of the last missing export.
    int LoadInterfaceLibrary();

    // Probes COM<port>, binds the library on the first call, checks that the driver daemon listens
    // (with the driver's own library), opens the HART device "HART<port>". 0, kPortUnusable,
    // kNotBound, kNoDriver, or the error of hart_open.
    int OpenPort(int port);
    // Sets secondary master and 4 retries. 0 on success; kNotBound when not bound.
    int ConfigurePort();
    // Puts `frame` (at most 284 bytes are taken) into the transmit record.
    void SetRequest(std::span<const uint8_t> frame);
    // Queues the transmit record: the result of hart_write, or kNotBound.
    int WriteRequest();
    // Takes the oldest received record into `buffer` (all 284 data bytes) and returns its Length as the
    // library gave it (it may exceed the buffer: the caller judges that); 0 when nothing came.
    size_t ReadResponse(std::span<uint8_t, HART_MESSAGE_DATA_SIZE> buffer);
    // Discards up to kDrainReads waiting records.
    void DrainInput();
    // The result of hart_close, or kNotBound.
    int ClosePort();

    // Why the last OpenPort, ConfigurePort or ClosePort failed, in one line for the user (the port,
    // the loader's text, the socket path, the export's result); empty after a success.
    const std::string& LastFailure() const { return failure_; }
    // After an OpenPort that succeeded: why requests may go unheard although the port opened, in one
    // line for the user: the driver daemon found the port without modem-control lines, so a modem
    // keyed by RTS never transmits. Empty when nothing is known against the port.
    const std::string& PortCaution() const { return caution_; }

    bool IsBound() const { return bound_; }
    uint16_t DeviceIndex() const { return deviceIndex_; }

  private:
    uint16_t deviceIndex_ = 0;
    HartMessage transmit_{};
    HartMessage receive_{};
    hart_open_fn open_ = nullptr;
    hart_configure_fn configure_ = nullptr;
    hart_subscribe_fn subscribe_ = nullptr;
    hart_register_fn register_ = nullptr;
    hart_write_fn write_ = nullptr;
    hart_read_fn read_ = nullptr;
    hart_close_fn close_ = nullptr;
    // Returns `result`, keeping `why` as the failure (cleared when `result` is 0).
    int Result(int result, std::string why = {});

    void* library_ = nullptr;
    bool bound_ = false;
    bool driverLibrary_ = false; // the bound library is the driver's own, which needs the daemon
    std::string failure_;
    std::string caution_;
};

} // namespace zelhart::hart

// WDFIOTARGET on a serial port: the port below a device, opened by name.
//
// Open takes the port exclusively (platform::ExclusiveSerialPort), puts it into raw mode and keeps the
// previous settings to restore at Close. The serial control codes of serial_ioctl.h are served with
// termios; where a device has no modem lines (a pseudo-terminal refuses them with ENOTTY) the call is
// traced and succeeds (on a real port the missing lines are traced as an error). RTS "transmit toggle"
// uses the kernel's RS-485 mode where the port supports it, else RTS is raised before a write and
// dropped once the transmitter is empty: TIOCSERGETLSR says so where the port reports it; elsewhere no
// earlier than the write's start plus its characters' line time and one character (TIOCOUTQ counts
// only the kernel's buffer, not the UART's FIFO and shift register). The settings are built from zero
// and read back; a port that does not take them fails the open (STATUS_NOT_SUPPORTED) or the setting.
//
// Reads and writes are asynchronous requests (Request::Create, FormatRequestForRead/Write, Send). A
// read completes as soon as at least one character is there, with at most the buffer's length; a
// character received with a parity or framing error (or a break) completes a read of its own with
// Information 1 and STATUS_PARITY_ERROR. A write completes when the port has sent every byte, RTS
// falling at the same moment (at once
// on a pseudo-terminal, which has no line rate); bytes that have not left the port after twice their
// line time (flow control holding them) are discarded and the write completes with STATUS_IO_TIMEOUT.
//
// When the port goes away (hang-up, EIO: an unplugged adapter, a closed pseudo-terminal master) the
// target enters the Deleted state and EvtIoTargetRemoveComplete runs on the event loop. Requests still
// in flight stay so until the driver cancels them or closes the target; then they complete with
// STATUS_CANCELLED. Sends to a target that is not started are refused with
// STATUS_INVALID_DEVICE_STATE.
//
// While started, the target takes what the port receives into an input buffer of its own
// (kInputBufferSize characters, as a serial driver's receive buffer), whether a read waits or not; the
// port stays watched for input the whole time instead of being watched and unwatched around every
// read. A purge with SERIAL_PURGE_RXCLEAR empties it. When it is full the port is left to hold the rest.
#pragma once

#include "zelhart/drvfw/object.h"
#include "zelhart/drvfw/serial_input.h"
#include "zelhart/platform/serial_port.h"

#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace zelhart::drvfw {

class SerialLine;

enum class IoTargetState { Started, Stopped, Closed, Deleted };
enum class IoTargetSentIoAction { CancelSentIo, LeaveSentIoPending };

struct IoTargetOpenParams {
    // A device path ("/dev/ttyUSB0", "/dev/pts/7"). Kernel names ("\Device\Serial0") do not exist here
    // and are not found.
    std::string TargetDeviceName;
    uint32_t DesiredAccess = 0;
    uint32_t ShareAccess = 0;
    std::function<void(WDFIOTARGET)> EvtIoTargetRemoveComplete;
};

class IoTarget : public Object {
  public:
    // WdfIoTargetCreate: a closed target with `device` as parent.
    static NTSTATUS Create(const WDFDEVICE& device, const ObjectAttributes& attributes, WDFIOTARGET* out);

    // STATUS_ACCESS_DENIED when another holder has the port, STATUS_OBJECT_NAME_NOT_FOUND when it does
    // not exist, STATUS_INVALID_DEVICE_STATE when the target is already open.
    NTSTATUS Open(const IoTargetOpenParams& params);
    void Close();
    NTSTATUS Start();
    void Stop(IoTargetSentIoAction action);
    IoTargetState GetState() const;
    WDFDEVICE GetDevice() const { return device_.lock(); }
    // A USB serial port (ttyUSB, ttyACM), which may deliver what it receives in bursts; false when
    // the target is not open.
    bool IsUsbPort() const;
    // A real port (not a pseudo-terminal) that refused the modem-line calls: DTR and RTS cannot be
    // driven there, and a modem keyed by RTS never transmits. False when the target is not open.
    bool LacksModemLines() const;

    NTSTATUS FormatRequestForRead(const WDFREQUEST& request, const WDFMEMORY& output);
    NTSTATUS FormatRequestForWrite(const WDFREQUEST& request, const WDFMEMORY& input);
    NTSTATUS FormatRequestForIoctl(const WDFREQUEST& request, uint32_t ioControlCode, const WDFMEMORY& input,
                                   const WDFMEMORY& output);
    // A serial control code, carried out before returning.
    NTSTATUS SendIoctlSynchronously(uint32_t ioControlCode, std::span<const uint8_t> input,
                                    std::span<uint8_t> output, size_t* bytesReturned);

    IoTarget(Framework& fw, const WDFDEVICE& device, const ObjectAttributes& attributes);
    ~IoTarget() override;

    // Framework-internal (Request).
    bool SendRequest(const WDFREQUEST& request);
    bool CancelRequest(const Request* request);

  private:
    void OnDelete() override;
    void OnIo(uint32_t events);
    void OnDrainTimer();
    NTSTATUS IoctlLocked(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output,
                         size_t* returned);
    void ReadInputLocked();
    void SatisfyReadsLocked();
    void WriteOutputLocked();
    void FinishWriteLocked();
    void CheckDrainLocked();
    void EndWriteLocked(NTSTATUS status);
    void ArmDrainTimerLocked(int64_t ns);
    void CompleteLocked(const WDFREQUEST& request, NTSTATUS status, size_t information);
    void CancelAllLocked(std::deque<WDFREQUEST>& list);
    void UpdateInterestLocked();
    void RemovedLocked();
    void CloseLocked();

    std::weak_ptr<Device> device_;
    mutable std::mutex mutex_; // guards everything below
    IoTargetState state_ = IoTargetState::Closed;
    platform::ExclusiveSerialPort port_;
    std::unique_ptr<SerialLine> line_;
    platform::UniqueFd drainTimer_;
    std::function<void(WDFIOTARGET)> removeCallback_;
    std::deque<WDFREQUEST> reads_;
    std::deque<WDFREQUEST> writes_;
    std::deque<SerialChar> input_;
    static constexpr size_t kInputBufferSize = 4096;
    ParmrkDecoder decoder_;
    bool writing_ = false;   // the head write has started (RTS raised)
    bool draining_ = false;  // the head write is in the port, waiting to leave it
    int64_t writeStartNs_ = 0;   // the head write's first byte went to the port
    int64_t lineDoneNs_ = 0;     // the head write has left a port that cannot report its transmitter
    int64_t drainDeadlineNs_ = 0;
    uint32_t interest_ = 0;
};

} // namespace zelhart::drvfw

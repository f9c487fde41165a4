// The context records of the driver's objects and the routines of the driver, by the object they
// belong to.
//
// One lock per HART device, HARTDEVICE_CONTEXT::DataLinkLock, guards the data link and every mutable
// field of the context (the serial requests, the pending write, the I/O target handle, ReadingActive,
// PnpEvent). It is taken by every context that enters the device: queue handlers, the 10 ms tick,
// serial completions, work items, file events, port removal, suspend and restart. It also does the
// work of the design's QueueReadSecondaryLock, WriteSecondaryQueueLock and ReadSpinLock, which would
// only ever be taken together with it. Lock order: HartDevicesLock, then a DataLinkLock, then the
// framework's own queue and target locks. Nobody waits for the timer, a work item or a purge while
// holding a DataLinkLock: those callbacks take it themselves.
#pragma once

#include "hart_names.h"
#include "zelhart/datalink/echo_filter.h"
#include "zelhart/datalink/hart_data_link.h"
#include "zelhart/drvfw/wdf.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zelhart::hartdriver {

using namespace zelhart::drvfw;

using HartDeviceCollection = std::shared_ptr<Collection<WDFDEVICE>>;

// Context of the driver object: the HART devices and the tunables read at entry.
struct DRIVER_CONTEXT {
    HartDeviceCollection HartDevices; // every HART device, in creation order
    WDFWAITLOCK HartDevicesLock;      // guards HartDevices
    uint16_t RT1PRIMARY = 0, RT1SECONDARY = 0, RT2 = 0, STO = 0, QUIETTIME = 0, BGTIMESTART = 0,
             BGTIMEERROR = 0, RT1DIFF = 0, PRE2 = 0, MISSEDTRANSMITWINDOW = 0;
    uint16_t HOLD = 0, GAP = 0;
    int32_t TIMEINTERVAL = 0;
    datalink::EchoMode EchoSuppression = datalink::EchoMode::Automatic; // the ECHO value (echo_filter.h)
};

// Context of the function device.
struct DEVICE_CONTEXT {
    std::weak_ptr<drvfw::Device> Device;
    std::weak_ptr<drvfw::Driver> Driver;
    WDFQUEUE QueueIoctl;
    int32_t lDeviceCount = 0;    // open handles of the function device
    WDFWAITLOCK DeviceCountLock; // guards lDeviceCount
    WDFWORKITEM CleanupWorkItem;
};

// Context of the function device's clean-up work item: the HART devices whose ports went away,
// waiting to be deleted. Guarded by HartDevicesLock. A list, so that ports removed together are each
// deleted once.
struct CLEANUP_WORKITEM_CONTEXT {
    std::weak_ptr<drvfw::Device> MainDevice;
    std::vector<WDFDEVICE> HartDevicesToDelete;
};

// Context of the three per-port work items: the HART device they work for.
struct WORKITEM_CONTEXT {
    std::weak_ptr<drvfw::Device> HartDevice;
};

struct HARTDEVICE_CONTEXT;

// One entry into a HART device: holds its DataLinkLock, and on the way out starts the 10 ms timer
// again when the entry loaded a countdown (see HARTDEVICE_CONTEXT::ArmTimer).
class DataLinkEntry {
  public:
    explicit DataLinkEntry(HARTDEVICE_CONTEXT* ctx);
    ~DataLinkEntry() { unlock(); }
    DataLinkEntry(const DataLinkEntry&) = delete;
    DataLinkEntry& operator=(const DataLinkEntry&) = delete;
    void unlock();

  private:
    HARTDEVICE_CONTEXT* ctx_;
    std::unique_lock<std::mutex> lock_;
};

struct HARTDEVICE_CONTEXT : datalink::DataLinkHost {
    std::weak_ptr<drvfw::Device> Device;
    bool SymbolicLinkCreated = false;
    std::string SymbolicLinkName; // "\DosDevices\{76F2EE18-...}_HART" + digits
    std::string TargetName;       // the serial port's device path; "Target" in traces
    std::string PortNumber;       // the characters after "COM": the port this device follows
    std::weak_ptr<drvfw::Device> MainDevice;
    std::atomic<int32_t> lOpenedFileHandleCount{0};

    WDFQUEUE QueueIoctl, QueueRead, QueueReadSecondary, QueueWrite, QueueWriteSecondary;
    WDFWORKITEM WorkItemRead, WorkItemWrite, WorkItemTriggerTx;
    WDFTIMER Timer;
    int64_t TimeInterval = 0;

    // Everything below is guarded by DataLinkLock.
    std::mutex DataLinkLock;
    std::unique_ptr<datalink::HartDataLink> DataLink;
    WDFIOTARGET IoTarget;
    PKEVENT PnpEvent;
    WDFREQUEST PendingWriteRequest;
    std::vector<uint8_t> WriteBuffer; // the pending write's frame
    WDFREQUEST WriteRequestToSerial, ReadRequestToSerial;
    bool ReadingActive = false;
    // A restart of the port is queued: a frame to transmit waits for it (WriteAfterRestart) instead
    // of meeting a port that is still stopped.
    bool RestartPending = false;
    bool WriteAfterRestart = false;
    // The device took the last self-managed I/O suspend with its port open and has not been resumed,
    // closed or removed since: only such a device is resumed. A device opened while the function
    // device was suspended runs as usual, and a resume must not disturb its countdowns.
    bool Suspended = false;
    // The 10 ms timer ticks while the port is open and not suspended (TimerEnabled), and then only
    // while a countdown runs: a tick with every countdown stopped does nothing, so an idle device
    // costs no wake-ups. TimerRunning: the framework timer is started.
    bool TimerEnabled = false;
    bool TimerRunning = false;
    int TickDeferrals = 0; // times the current tick waited for received characters (serial_port.cpp)
    // The echo of the frame sent, kept from the receiver (serial_io.cpp); EchoTraced: the echo has been
    // reported since the port was opened. UsbPort: the port may deliver received characters in bursts.
    datalink::EchoFilter Echo;
    bool EchoTraced = false;
    bool UsbPort = false;

    DataLinkEntry Lock() { return DataLinkEntry(this); }

    // DataLinkLock held.
    bool CountdownsRun() const;
    void EnableTimer() { TimerEnabled = true; }
    void DisableTimer(); // a tick under way on another thread may still finish: Timer->Stop(true) waits
    void ArmTimer();

    // DataLinkHost (data_link_host.cpp); called with DataLinkLock held.
    void HartWriteDataToSerialPort() override;
    void EnqueueWorkItemTriggerTx() override;
    void ResumeReception() override;
    void CompletePendingWriteRequest(NTSTATUS status, uint32_t information) override;
    void HartCompleteNextReadRequest() override;
    bool TraceEnabled(uint32_t mask) const override;
    void Trace(uint32_t mask, std::string_view line) override;
    void DebugPrint(std::string_view line) override;
};

inline DataLinkEntry::DataLinkEntry(HARTDEVICE_CONTEXT* ctx) : ctx_(ctx), lock_(ctx->DataLinkLock) {}

inline void DataLinkEntry::unlock() {
    if (!lock_.owns_lock()) return;
    ctx_->ArmTimer();
    lock_.unlock();
}

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_CONTEXT, DriverGetContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, DeviceGetContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CLEANUP_WORKITEM_CONTEXT, CleanupWorkItemGetContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORKITEM_CONTEXT, WorkItemGetContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(HARTDEVICE_CONTEXT, HartDeviceGetContext)

// ---- Driver (driver_entry.cpp) ----
NTSTATUS DriverEntry(Framework& fw, const std::string& registryPath);
// Reads the service key again (SIGHUP) and says what changed: DebugLevel takes effect at once; the
// data-link times are taken by HART devices when they are made, so a change of one is named as
// waiting for a restart. "" when the key cannot be read; "no tunable changed" when nothing did.
std::string ReloadServiceKey(const Framework& fw, const std::string& registryPath);
NTSTATUS HartUtilRegistryValueGet(const Framework& fw, const std::string& registryPath, const char* valueName,
                                  uint32_t* value);
void HartMainEvtDriverUnload(WDFDRIVER driver);

// ---- Function device (function_device.cpp) ----
NTSTATUS HartEvtDriverDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT& init);
void HartFuncDeviceQueueEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputLength,
                                           size_t inputLength, uint32_t ioControlCode);
void HartMainEvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file);
void HartMainEvtFileCleanup(WDFFILEOBJECT file);
void HartMainEvtFileClose(WDFFILEOBJECT file);
NTSTATUS HartMainEvtDeviceSelfManagedIoSuspend(WDFDEVICE device);
NTSTATUS HartMainEvtDeviceSelfManagedIoRestart(WDFDEVICE device);
void HartMainEvtDeviceSelfManagedIoFlush(WDFDEVICE device);
void HartMainEvtDeviceSelfManagedIoCleanup(WDFDEVICE device);
void HartEvtDeviceContextCleanup(WDFOBJECT device);
void HartEvtWorkItemCleanup(WDFWORKITEM item);

// ---- HART devices (hart_devices.cpp) ----
NTSTATUS CreateHartDevices(const WDFDEVICE& functionDevice);
NTSTATUS HartInitializeDeviceObject(const WDFDEVICE& functionDevice, const HartPortNames& names);
NTSTATUS DeleteHartDevices(DRIVER_CONTEXT* driverContext);

// ---- HART device I/O control (hart_ioctl_queue.cpp) ----
void HartQueueEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, size_t inputLength,
                                 uint32_t ioControlCode);

// ---- Reads and writes (read_write.cpp) ----
NTSTATUS HartCreateReadWriteQueues(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx);
NTSTATUS HartCreateQueueIoctl(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx);
void HartQueueEvtIoRead(WDFQUEUE queue, WDFREQUEST request, size_t length);
void HartQueueEvtIoWrite(WDFQUEUE queue, WDFREQUEST request, size_t length);
void HartEvtIoCanceledOnQueueRead(WDFQUEUE queue, WDFREQUEST request);
void HartEvtIoCanceledOnQueueWrite(WDFQUEUE queue, WDFREQUEST request);

// ---- Serial port (serial_port.cpp, serial_io.cpp) ----
NTSTATUS HartInitializeTimer(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx);
NTSTATUS HartInitializeWorkItems(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx);
NTSTATUS HartOpenSerialPort(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx);
NTSTATUS HartInitializeSerialPort(const WDFIOTARGET& target);
NTSTATUS HartPurgeSerialPort(const WDFIOTARGET& target);
// Opens a new target on TargetName (restart and recovery paths); the old one must be closed.
NTSTATUS HartReopenIoTarget(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx);
// DataLinkLock held.
bool HartReadDataFromPort(HARTDEVICE_CONTEXT* ctx);
void HartEvtWorkItemRead(WDFWORKITEM item);
void HartEvtWorkItemWrite(WDFWORKITEM item);
void HartEvtWorkItemTriggerTx(WDFWORKITEM item);

// ---- Stopping and starting a HART device (hart_stop.cpp) ----
// Why a HART device stops. Each reason stops, purges and cancels its own part of the device: the
// table in hart_stop.cpp shows them side by side.
enum class HartStopReason : uint8_t {
    HandleClosed,  // cleanup or close of its handle: back to closed, the port released
    Suspend,       // self-managed I/O suspend: the port stopped, kept for the restart
    PortRemoved,   // the serial port went away: every request ends, the device is deleted next
    DeviceDeleted, // the device goes (last close of the function device, shutdown)
};
// Stops the device for `reason`. Takes the device's lock itself and waits for the timer, the work
// items and purges: call it with no DataLinkLock held (HartDevicesLock may be held).
void HartStopDevice(HARTDEVICE_CONTEXT* ctx, HartStopReason reason);
// Starts every queue of the device, whatever a stop left stopped or purged: an open and the restart
// after resume begin with it.
void HartStartQueues(HARTDEVICE_CONTEXT* ctx);

// ---- File, power and removal (hart_file.cpp) ----
void HartEvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file);
void HartEvtFileCleanup(WDFFILEOBJECT file);
void HartEvtFileClose(WDFFILEOBJECT file);
void HartEvtIoTargetRemoveComplete(WDFIOTARGET target);
void HartSuspendDevice(HARTDEVICE_CONTEXT* ctx);
void HartRestartDevice(HARTDEVICE_CONTEXT* ctx);

// The HART device a queue, work item, timer or target belongs to, and its context.
WDFDEVICE HartDeviceOf(const WDFOBJECT& child);

} // namespace zelhart::hartdriver

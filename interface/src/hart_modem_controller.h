// One open HART device: its wrapper, its two record queues, its five events and its communication
// thread, which keeps one read pending, writes queued requests one at a time, turns completed reads
// and failed writes into records for the caller and follows the port going and coming back.
//
// Locks, each held only briefly and taken in this order: m_csState (port events; tried by
// SendHartMessage) -> m_csDevice (the wrapper and every request on it; held by the communication
// thread for the length of a write, but a caller of hart_configure or hart_subscribe who waits for it
// goes before the next write) -> m_csWrite (the write in progress, for Disconnect to cancel) ->
// m_csNames / m_csConfig (leaf locks for the strings and the remembered settings). The queues have
// their own locks; m_csNotify guards the notification target.
#pragma once

#include "device_base.h"
#include "events.h"
#include "record_queue.h"

#include "zelhart/hart_api.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zelhart::hartif {

class FunctionDevice;

// "COM" followed by the characters of the device path after "\\.\{GUID}_HART" (position 47).
std::string ComPortNameFromDevicePath(const std::string& devicePath);
// The receive mask for hart_subscribe flags: always 0x02, plus one bit per known flag.
uint8_t ReceiveMaskFromFlags(uint8_t flags);
// Length 0, Status 6, the given Error and RequestTag.
HartMessage FailureRecord(uint16_t requestTag, int16_t error);

class CHartModemController {
public:
    explicit CHartModemController(std::shared_ptr<IDeviceIo> io);
    ~CHartModemController();
    CHartModemController(const CHartModemController&) = delete;
    CHartModemController& operator=(const CHartModemController&) = delete;

    // Opens the device (deviceName without the "\\.\" prefix; empty: the remembered path) and, on the
    // first call, starts the thread. 0 also when the device is absent; -2 without any name; -7 when
    // already open; -1 when the device refuses the initial mask or protocol; a positive errno when
    // the thread cannot be started.
    int32_t Connect(const std::string& deviceName, FunctionDevice* functionDriver);
    // Stops the thread (a write in progress is cancelled, queued requests are not sent), discards the
    // queues, closes the device: 0 when an open device was closed.
    int32_t Disconnect();

    // The exports' operations on this device.
    int32_t SendHartMessage(const HartMessage* request);
    int32_t TakeRecord(HartMessage* record);
    int32_t SetRegistration(const AppRegistryInfo* reg);
    int32_t SetConfiguration(const HartConfig* config);
    int32_t Subscribe(uint8_t flags);

    // A port arrived or was removed (run on the watcher thread).
    void UpdateComPortState(const std::string& portName, const std::string& serialDeviceName, bool arrival);
    // The driver daemon started (again): the device's port is announced to it and the device
    // reconnected as on a port arrival, a handle of the daemon that went being let go first.
    void DaemonArrived(const std::string& serialDeviceName);

    std::string DevicePath() const;
    std::string ComPortName() const;
    bool IsPresent() const { return m_bIsModemDevicePresent.load() != 0; }
    bool IsStarted() const { return m_bStarted.load() != 0; }
    size_t WaitingRecords() const { return m_ReadQueue.Size(); }
    bool EventSignalled(int event) const { return m_hEvents.IsSet(event); }
    // The thread's result once it has ended (after Disconnect).
    int32_t ThreadResult() const { return m_threadResult.load(); }
    // Callers of hart_configure or hart_subscribe waiting for the device right now.
    int DeviceCallersWaiting() const { return m_deviceCallers.load(); }

private:
    static void ThreadCommunicationProc(CHartModemController* controller);
    int32_t CommunicationLoop();
    void OnReadComplete(HartMessage& lastRequest, int32_t& result);
    void OnPortArrival(HartMessage& lastRequest);
    void OnPortRemoval();
    // After a daemon arrival: closes a device handle that the running daemon does not serve.
    void DropHandleOfAnotherDaemon();
    void WriteStep(HartMessage& lastRequest);

    // Steps of Connect that open and set up the device; takes m_csDevice.
    int32_t OpenDevice(const std::string& deviceName);

    // m_csDevice for a caller's thread: announced, so that the communication thread lets it go first.
    class CallerDeviceLock {
    public:
        explicit CallerDeviceLock(CHartModemController& c);
        ~CallerDeviceLock();
        CallerDeviceLock(const CallerDeviceLock&) = delete;
        CallerDeviceLock& operator=(const CallerDeviceLock&) = delete;

    private:
        CHartModemController& c_;
        std::unique_lock<std::mutex> lock_;
    };
    // The write step's turn on the device: after every caller who waits for it.
    std::unique_lock<std::mutex> DeviceLockForWrite();
    bool StopRequested() const { return m_hEvents.IsSet(EVT_STOP_THREAD); }

    // Called with m_csDevice held.
    int32_t StartRead();
    int32_t InternalWriteHartMsg(const HartMessage* request);
    int32_t InternalRetrieveReadHartMsg(HartMessage* record);
    void TryCloseDevice();
    void DeviceLost();
    bool ApplyRememberedSettings();
    bool DeviceUsable() const { return m_pHartModem && m_pHartModem->IsOpen(); }

    void QueueRecord(const HartMessage& record);
    void PostIfRegistered();

    std::shared_ptr<IDeviceIo> m_io;
    std::atomic<FunctionDevice*> m_phFunctionDriver{nullptr};
    std::atomic<int32_t> m_bIsModemDevicePresent{0};
    std::atomic<int32_t> m_bStarted{0};
    std::atomic<bool> m_bDaemonArrived{false}; // the next port arrival follows a daemon's start

    mutable std::mutex m_csNames;
    std::string m_strComPortName;
    std::string m_strSerialDeviceName;
    std::string m_strDevicePath;

    std::mutex m_csDevice;
    std::atomic<int> m_deviceCallers{0};     // callers waiting for m_csDevice or holding it
    std::condition_variable m_deviceTurn;    // signalled when a caller is done with it
    std::unique_ptr<CHartModem> m_pHartModem;
    std::mutex m_csWrite;
    CHartModem* m_pWritingModem = nullptr;   // the wrapper a write is running on, for Disconnect
    uint8_t m_ReadBuffer[kReadBufferSize] = {};
    uint32_t m_dwBytesRead = 0;

    RecordQueue m_ReadQueue;
    RecordQueue m_WriteQueue;

    mutable std::mutex m_csConfig;
    HartProtocolInfo m_ProtocolData{};
    HartConfig m_ConfigData{};
    bool m_bConfigured = false; // hart_configure was called: m_ConfigData is what a reconnect applies
    uint8_t m_RcvMask = 0;          // the remembered subscription (0: none)
    uint8_t m_DeviceRcvMask = RCV_MASK_ACK_THIS_MASTER; // the mask the device is to run with

    // The notification target. Posts are made with this lock held, so once hart_register returns no
    // post can still be on its way to the descriptor it replaced (the caller may close it then).
    std::mutex m_csNotify;
    AppRegistryInfo m_AppRegistryInfo{};

    std::thread m_hThread;
    std::atomic<int32_t> m_bStopThread{0};
    std::atomic<int32_t> m_threadResult{0};
    CommunicationEvents m_hEvents;

    std::mutex m_csState;
    HartModemInitInfo m_ModemInitData{};
};

} // namespace zelhart::hartif

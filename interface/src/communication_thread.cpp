// CHartModemController's communication thread: one wait on five events, one read always pending
// while the device is present, at most one write per wake-up.
#include "hart_modem_controller.h"

#include "function_device.h"
#include "modem_init.h"
#include "trace.h"
#include "write_hook.h"

#include <algorithm>
#include <cstring>

namespace zelhart::hartif {

std::atomic<BeforeWriteHook> g_beforeWriteHook{nullptr};

void CHartModemController::ThreadCommunicationProc(CHartModemController* controller) {
    if (!controller) return;
    int32_t result;
    try {
        result = controller->CommunicationLoop();
    } catch (...) {
        Trace("%s Error: Thread Crashed unexpectedly!\n", "CHartModemController::ThreadCommunicationProc");
        result = 1;
    }
    controller->m_threadResult = result;
}

int32_t CHartModemController::CommunicationLoop() {
    Trace(">>>>>> ThreadCommunicationProc START\n");
    HartMessage lastRequest{}; // the request written last; its tag goes on replies and read failures
    int32_t result = -1;
    if (IsPresent()) {
        std::lock_guard device(m_csDevice);
        result = StartRead();
    }
    while (!m_bStopThread) {
        int event = m_hEvents.Wait();
        // The stop goes before everything else that is signalled: Disconnect does not wait for the
        // queued requests (the write event is set again and again while requests remain).
        if (event >= 0 && StopRequested()) event = EVT_STOP_THREAD;
        switch (event) {
        case EVT_READ_COMPLETE:
            OnReadComplete(lastRequest, result);
            break;
        case EVT_WRITE_REQUEST:
            m_hEvents.Reset(EVT_WRITE_REQUEST);
            WriteStep(lastRequest);
            break;
        case EVT_PORT_ARRIVAL:
            OnPortArrival(lastRequest);
            break;
        case EVT_PORT_REMOVAL:
            OnPortRemoval();
            break;
        case EVT_STOP_THREAD:
            m_bStopThread = 1;
            break;
        default: // the wait itself failed: nothing can wake this thread any more
            Trace("%s Error: Thread Crashed unexpectedly!\n", "CHartModemController::ThreadCommunicationProc");
            result = 1;
            m_bStopThread = 1;
            break;
        }
    }
    Trace("<<<<<< ThreadCommunicationProc END\n");
    return result;
}

void CHartModemController::OnReadComplete(HartMessage& lastRequest, int32_t& result) {
    m_hEvents.Reset(EVT_READ_COMPLETE);
    HartMessage record{};
    bool haveRecord = false, readStartFailed = false;
    {
        std::lock_guard device(m_csDevice);
        // A read of a handle closed since (port removal, reconnect) may still signal: nothing to take.
        if (!DeviceUsable()) return;
        int32_t r = InternalRetrieveReadHartMsg(&record);
        if (r == int32_t(ERROR_IO_INCOMPLETE)) return; // signalled early; the read is still pending
        if (r == int32_t(ERROR_OPERATION_ABORTED)) {
            Trace("READ ERROR_OPERATION_ABORTED\n");
            result = -3;
            DeviceLost();
            return;
        }
        // A successful read of no bytes carries no frame: nothing for the caller.
        haveRecord = !(r == -1 && m_dwBytesRead == 0);
        if (record.Status == HART_STATUS_SLAVE_REPLY) record.RequestTag = lastRequest.RequestTag;
        result = StartRead();
        if (result != 0) {
            // Without a pending read no frame would ever arrive: treat the device as gone.
            readStartFailed = true;
            DeviceLost();
        }
    }
    if (haveRecord) QueueRecord(record);
    if (readStartFailed) QueueRecord(FailureRecord(lastRequest.RequestTag, HART_ERROR_READ));
    WriteStep(lastRequest);
}

void CHartModemController::WriteStep(HartMessage& lastRequest) {
    HartMessage head;
    if (!m_WriteQueue.Peek(&head)) return;
    int32_t written = -3;
    if (IsPresent()) {
        if (const BeforeWriteHook hook = g_beforeWriteHook.load()) hook(head);
        auto device = DeviceLockForWrite();
        {
            std::lock_guard write(m_csWrite);
            if (StopRequested()) return; // the device is being closed: nothing more goes out
            m_pWritingModem = m_pHartModem.get();
        }
        written = InternalWriteHartMsg(&head);
        std::lock_guard write(m_csWrite);
        m_pWritingModem = nullptr;
    }
    if (StopRequested()) return; // the queue is discarded, failure records included
    lastRequest = head;
    m_WriteQueue.DropFront();
    if (written != 0) QueueRecord(FailureRecord(head.RequestTag, HART_ERROR_WRITE));
    // One write per wake-up, but never a request left behind without a wake-up to come.
    if (m_WriteQueue.Size() > 0) m_hEvents.Set(EVT_WRITE_REQUEST);
}

void CHartModemController::OnPortArrival(HartMessage& lastRequest) {
    m_hEvents.Reset(EVT_PORT_ARRIVAL);
    if (m_bDaemonArrived.exchange(false)) DropHandleOfAnotherDaemon();
    if (OpenDevice(DevicePath()) != HDRV_SUCCESS || !IsPresent()) return;
    m_bStarted = 1;
    {
        std::lock_guard device(m_csDevice);
        if (!ApplyRememberedSettings()) {
            TryCloseDevice();
            m_bIsModemDevicePresent = 0;
            return;
        }
        m_bIsModemDevicePresent = 1;
        m_hEvents.Reset(EVT_WRITE_REQUEST);
        m_hEvents.Reset(EVT_READ_COMPLETE);
        if (StartRead() != 0) {
            DeviceLost();
            return;
        }
    }
    QueueRecord(HartMessage{}); // all zero: the device is back
    WriteStep(lastRequest);
}

void CHartModemController::DropHandleOfAnotherDaemon() {
    std::lock_guard device(m_csDevice);
    if (!IsPresent() || !DeviceUsable()) return;
    // The daemon that went has ended the pending read by now, or is about to: a handle it served
    // answers no request, while one of the running daemon does (and is kept: the reconnect then
    // finds the device open and changes nothing).
    HartProtocolInfo protocol{};
    uint32_t returned = 0;
    if (m_pHartModem->Control(IOCTL_HART_GET_PROTOCOL, &protocol, sizeof(protocol), &returned)) return;
    TryCloseDevice();
    m_bIsModemDevicePresent = 0;
}

void CHartModemController::OnPortRemoval() {
    {
        std::lock_guard device(m_csDevice);
        if (m_pHartModem) m_pHartModem->Close();
    }
    m_hEvents.Reset(EVT_PORT_REMOVAL);
    m_bIsModemDevicePresent = 0;
    m_hEvents.Reset(EVT_WRITE_REQUEST);
    m_hEvents.Set(EVT_WRITE_REQUEST); // queued requests come back as failure records
    m_bStarted = 0;
}

int32_t CHartModemController::StartRead() {
    m_hEvents.Reset(EVT_READ_COMPLETE);
    if (!m_pHartModem) return 0;
    int32_t r = m_pHartModem->AsynchronousRead(m_hEvents.ReadCompletionFd());
    // Pending, or finished at once: either way the completion event will say so.
    if (r == int32_t(ERROR_IO_PENDING) || r == -1) return 0;
    return r;
}

int32_t CHartModemController::InternalRetrieveReadHartMsg(HartMessage* record) {
    if (!record) {
        Trace("%s Error: pReadHartMessage is NULL!\n", "CHartModemController::InternalRetrieveReadHartMsg");
        return HDRV_INVALID_PARAM;
    }
    if (!DeviceUsable()) {
        Trace("%s Error: m_pHartModem->IsOpen() Failed!\n", "CHartModemController::InternalRetrieveReadHartMsg");
        return HDRV_FAILURE;
    }
    uint32_t bytes = 0;
    const bool ok = m_pHartModem->GetAsynchronousReadData(m_ReadBuffer, sizeof(m_ReadBuffer), &bytes, false);
    const Win32Error error = ok ? ERROR_SUCCESS : m_pHartModem->LastErrorCode();
    if (!ok && error == ERROR_IO_INCOMPLETE) return int32_t(ERROR_IO_INCOMPLETE);
    std::memset(record->Data, 0, sizeof(record->Data));
    if (ok) {
        m_dwBytesRead = std::min<uint32_t>(bytes, sizeof(m_ReadBuffer));
        uint8_t masterType;
        {
            std::lock_guard lock(m_csConfig);
            masterType = m_ProtocolData.MasterType;
        }
        const uint8_t delimiter = m_dwBytesRead > 0 ? m_ReadBuffer[0] : 0;
        const uint8_t address = m_dwBytesRead > 1 ? m_ReadBuffer[1] : 0;
        record->Length = uint16_t(m_dwBytesRead);
        record->RequestTag = 0;
        record->Error = HART_ERROR_NONE;
        record->Status = uint16_t((delimiter & 0x07) | ((address ^ masterType) & HART_STATUS_OTHER_MASTER));
        std::memcpy(record->Data, m_ReadBuffer, m_dwBytesRead);
        return -1;
    }
    Trace("READ HMSG_COMM_ERROR   Status: %u\n", error);
    m_dwBytesRead = 0;
    record->Length = 0;
    record->RequestTag = 0;
    record->Error = HART_ERROR_READ;
    record->Status = HART_STATUS_SLAVE_REPLY;
    if (error == ERROR_OPERATION_ABORTED) m_bIsModemDevicePresent = 0;
    return int32_t(error);
}

int32_t CHartModemController::InternalWriteHartMsg(const HartMessage* request) {
    if (!request) {
        Trace("%s Error: pWriteHartMessage is NULL!\n", "CHartModemController::InternalWriteHartMsg");
        return HDRV_INVALID_PARAM;
    }
    // Nothing to send, or a length past the record's data: not written.
    if (!DeviceUsable() || request->Length == 0 || request->Length > HART_MESSAGE_DATA_SIZE) return HDRV_FAILURE;
    return m_pHartModem->SynchronousWrite(request->Data, request->Length) ? HDRV_SUCCESS : HDRV_FAILURE;
}

void CHartModemController::TryCloseDevice() {
    if (m_pHartModem) m_pHartModem->Close();
}

void CHartModemController::DeviceLost() {
    TryCloseDevice();
    m_hEvents.Reset(EVT_PORT_REMOVAL);
    m_bIsModemDevicePresent = 0;
    m_hEvents.Reset(EVT_WRITE_REQUEST);
    m_hEvents.Set(EVT_WRITE_REQUEST); // queued requests come back as failure records
}

bool CHartModemController::ApplyRememberedSettings() {
    HartConfig config;
    bool configured;
    uint8_t mask;
    {
        std::lock_guard lock(m_csConfig);
        config = m_ConfigData;
        configured = m_bConfigured;
        mask = m_DeviceRcvMask;
    }
    // Never configured: the device comes back as it was first set up, not as a secondary master.
    const uint8_t masterType = configured ? uint8_t(config.MasterType & 0xFF) : HART_PRIMARY_MASTER;
    const uint8_t retries = configured ? uint8_t(config.Retries & 0xFF) : 2;
    if (m_pHartModem->Configure(masterType, retries) != HDRV_SUCCESS) return false;
    {
        std::lock_guard lock(m_csConfig);
        m_ProtocolData = {0, masterType, retries};
    }
    return mask == RCV_MASK_ACK_THIS_MASTER || m_pHartModem->SetReadMask(mask);
}

void CHartModemController::DaemonArrived(const std::string& serialDeviceName) {
    m_bDaemonArrived = true;
    UpdateComPortState(ComPortName(), serialDeviceName, true);
}

void CHartModemController::UpdateComPortState(const std::string& portName, const std::string& serialDeviceName,
                                              bool arrival) {
    TraceScope scope("CHartModemController::UpdateComPortState");
    std::lock_guard state(m_csState); // hart_write does not queue meanwhile
    {
        std::lock_guard lock(m_csNames);
        if (portName != m_strComPortName) return;
    }
    if (!arrival) {
        if (IsPresent()) m_hEvents.Set(EVT_PORT_REMOVAL);
        return;
    }
    {
        std::lock_guard lock(m_csNames);
        if (!serialDeviceName.empty() && serialDeviceName != m_strDevicePath)
            m_strSerialDeviceName = serialDeviceName;
    }
    m_ModemInitData = MakeModemInitInfo(serialDeviceName, portName);
    FunctionDevice* functionDriver = m_phFunctionDriver.load();
    if (functionDriver && functionDriver->IsOpen()) {
        // The driver makes the port's HART device; it may exist already, so a failure is only traced.
        Win32Error e = functionDriver->ModemInit(m_ModemInitData);
        if (e != ERROR_SUCCESS)
            Trace("%s Error: IOCTL_HART_MODEM_INIT failed with status: 0x%x!n",
                  "CHartModemController::UpdateComPortState", e);
    }
    {
        std::lock_guard lock(m_csNames);
        m_strDevicePath = std::string(kDevicePathPrefix) + kDeviceNameGuidPrefix + "HART" +
                          portName.substr(std::min<size_t>(3, portName.size()));
    }
    m_hEvents.Set(EVT_PORT_ARRIVAL);
}

} // namespace zelhart::hartif

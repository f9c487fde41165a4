// CHartModemController: connecting, disconnecting and the operations behind the exports.
#include "hart_modem_controller.h"

#include "app_message.h"
#include "function_device.h"
#include "trace.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

namespace zelhart::hartif {

std::string ComPortNameFromDevicePath(const std::string& devicePath) {
    constexpr size_t kNumberPosition = 47; // after "\\.\{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART"
    return "COM" + (devicePath.size() > kNumberPosition ? devicePath.substr(kNumberPosition) : std::string());
}

uint8_t ReceiveMaskFromFlags(uint8_t flags) {
    uint8_t mask = RCV_MASK_ACK_THIS_MASTER;
    if (flags & HART_SUBSCRIBE_OTHER_MASTER_REQUESTS) mask |= RCV_MASK_STX_OTHER_MASTER;
    if (flags & HART_SUBSCRIBE_OTHER_MASTER_REPLIES) mask |= RCV_MASK_ACK_OTHER_MASTER;
    if (flags & HART_SUBSCRIBE_BURST_THIS_MASTER) mask |= RCV_MASK_BACK_THIS_MASTER;
    if (flags & HART_SUBSCRIBE_BURST_OTHER_MASTER) mask |= RCV_MASK_BACK_OTHER_MASTER;
    return mask;
}

HartMessage FailureRecord(uint16_t requestTag, int16_t error) {
    HartMessage record{};
    record.Length = 0;
    record.Status = HART_STATUS_SLAVE_REPLY;
    record.RequestTag = requestTag;
    record.Error = error;
    return record;
}

CHartModemController::CHartModemController(std::shared_ptr<IDeviceIo> io) : m_io(std::move(io)) {}

CHartModemController::~CHartModemController() {
    if (m_hThread.joinable()) Disconnect();
}

std::string CHartModemController::DevicePath() const {
    std::lock_guard lock(m_csNames);
    return m_strDevicePath;
}

std::string CHartModemController::ComPortName() const {
    std::lock_guard lock(m_csNames);
    return m_strComPortName;
}

int32_t CHartModemController::Connect(const std::string& deviceName, FunctionDevice* functionDriver) {
    TraceScope scope("CHartModemController::Connect");
    if (functionDriver) m_phFunctionDriver.store(functionDriver);
    {
        std::lock_guard lock(m_csNames);
        if (deviceName.empty() && m_strDevicePath.empty()) {
            Trace("%s Error: strComPortName is an empty string!\n", "CHartModemController::Connect");
            return HDRV_EMPTY_NAME;
        }
    }
    const bool firstConnect = !m_hThread.joinable();
    if (firstConnect) {
        m_ReadQueue.Clear();
        m_WriteQueue.Clear();
        {
            std::lock_guard lock(m_csNotify);
            m_AppRegistryInfo = {};
        }
        std::lock_guard lock(m_csConfig);
        m_ProtocolData = {};
    }
    if (int32_t r = OpenDevice(deviceName)) return r;
    if (firstConnect) {
        if (int e = m_hEvents.Create()) return e;
        m_bStopThread = 0;
        try {
            m_hThread = std::thread(&CHartModemController::ThreadCommunicationProc, this);
        } catch (const std::system_error& e) {
            return e.code().value() > 0 ? e.code().value() : EAGAIN;
        }
    }
    m_bStopThread = 0;
    m_bStarted = 1;
    return HDRV_SUCCESS;
}

int32_t CHartModemController::OpenDevice(const std::string& deviceName) {
    std::lock_guard device(m_csDevice);
    if (m_pHartModem && IsPresent()) {
        Trace("%s Error: HDRV_ALREADY_OPEN!\n", "CHartModemController::Connect");
        return HDRV_ALREADY_OPEN;
    }
    try {
        m_pHartModem = std::make_unique<CHartModem>(m_io, deviceName);
    } catch (const std::bad_alloc&) {
        Trace("%s Error: new CHartModem(%s) HDRV_FAILURE\n", "CHartModemController::Connect", deviceName.c_str());
        return HDRV_FAILURE;
    }
    std::string path;
    {
        std::lock_guard lock(m_csNames);
        if (m_strDevicePath.empty()) m_strDevicePath = kDevicePathPrefix + deviceName;
        path = m_strDevicePath;
    }
    const bool open = m_pHartModem->Open(path, FILE_FLAG_OVERLAPPED);
    m_bIsModemDevicePresent = open ? 1 : 0;
    {
        std::lock_guard lock(m_csNames);
        m_strComPortName = ComPortNameFromDevicePath(path);
    }
    if (!open) {
        Trace("%s strComPortName is NOT PRESENT!!!\n", "CHartModemController::Connect");
        return HDRV_SUCCESS; // absent is not an error: the port may arrive later
    }
    Trace("%s strComPortName is PRESENT!!!\n", "CHartModemController::Connect");
    {
        std::lock_guard lock(m_csConfig);
        m_ProtocolData = {0, HART_PRIMARY_MASTER, 2};
    }
    if (m_pHartModem->Configure(HART_PRIMARY_MASTER, 2) != HDRV_SUCCESS) {
        // A device that refuses its set-up is not used: a read would never be started on it.
        m_pHartModem->Close();
        m_bIsModemDevicePresent = 0;
        return HDRV_FAILURE;
    }
    return HDRV_SUCCESS;
}

CHartModemController::CallerDeviceLock::CallerDeviceLock(CHartModemController& c) : c_(c) {
    ++c_.m_deviceCallers;
    lock_ = std::unique_lock(c_.m_csDevice);
}

CHartModemController::CallerDeviceLock::~CallerDeviceLock() {
    --c_.m_deviceCallers; // under the lock: the thread's wait for its turn sees it at once
    lock_.unlock();
    c_.m_deviceTurn.notify_all();
}

std::unique_lock<std::mutex> CHartModemController::DeviceLockForWrite() {
    std::unique_lock device(m_csDevice);
    m_deviceTurn.wait(device, [&] { return m_deviceCallers.load() == 0; });
    return device;
}

int32_t CHartModemController::Disconnect() {
    TraceScope scope("CHartModemController::Disconnect");
    if (m_hThread.joinable()) {
        {
            // The stop wins over everything queued: a write on its way is cancelled, and no other
            // starts (the thread looks at the stop under this lock before each write).
            std::lock_guard write(m_csWrite);
            m_hEvents.Set(EVT_STOP_THREAD);
            if (m_pWritingModem) m_pWritingModem->CancelWrite();
        }
        m_hThread.join();
    }
    m_ReadQueue.Clear();
    m_WriteQueue.Clear();
    {
        std::lock_guard lock(m_csNotify);
        m_AppRegistryInfo = {};
    }
    std::lock_guard device(m_csDevice);
    std::memset(m_ReadBuffer, 0, sizeof(m_ReadBuffer));
    m_dwBytesRead = 0;
    m_bStarted = 0;
    if (!m_pHartModem) return HDRV_FAILURE;
    const bool closed = m_pHartModem->Close();
    Trace(closed ? "CLOSE successful!!!!!\n" : "CLOSE FAILED!\n");
    m_bIsModemDevicePresent = 0;
    m_pHartModem.reset();
    return closed ? HDRV_SUCCESS : HDRV_FAILURE;
}

int32_t CHartModemController::SendHartMessage(const HartMessage* request) {
    if (!request) {
        Trace("%s Error: pWriteHartMessage is NULL!\n", "CHartModemController::SendHartMessage");
        return HDRV_INVALID_PARAM;
    }
    // Never wait: while a port event is being applied the request is not taken. The caller still
    // hears of it, through a failure record, as of any request that could not be written.
    std::unique_lock state(m_csState, std::try_to_lock);
    if (!state.owns_lock() || !m_WriteQueue.Push(*request)) {
        QueueRecord(FailureRecord(request->RequestTag, HART_ERROR_WRITE));
        return HDRV_SUCCESS;
    }
    m_hEvents.Set(EVT_WRITE_REQUEST);
    return HDRV_SUCCESS;
}

int32_t CHartModemController::TakeRecord(HartMessage* record) {
    if (!record) {
        Trace("%s Error: pReadHartMessage is NULL!\n", "CHartModemController::TakeRecord");
        return HDRV_INVALID_PARAM;
    }
    size_t remaining = 0;
    if (!m_ReadQueue.Pop(record, &remaining)) return HDRV_NO_MESSAGE;
    if (remaining > 0) PostIfRegistered();
    return HDRV_SUCCESS;
}

int32_t CHartModemController::SetRegistration(const AppRegistryInfo* reg) {
    if (!reg) return HDRV_SUCCESS;
    {
        std::lock_guard lock(m_csNotify);
        m_AppRegistryInfo = *reg;
    }
    if (m_ReadQueue.Size() > 0) PostIfRegistered();
    return HDRV_SUCCESS;
}

int32_t CHartModemController::SetConfiguration(const HartConfig* config) {
    if (!config) return HDRV_INVALID_PARAM;
    const uint8_t masterType = uint8_t(config->MasterType & 0xFF);
    const uint8_t retries = uint8_t(config->Retries & 0xFF);
    {
        std::lock_guard lock(m_csConfig);
        m_ConfigData = *config;
        m_bConfigured = true;
        m_DeviceRcvMask = RCV_MASK_ACK_THIS_MASTER; // configuring puts the device back to its own replies
    }
    CallerDeviceLock device(*this);
    if (IsPresent() && DeviceUsable() && m_pHartModem->Configure(masterType, retries) == HDRV_SUCCESS) {
        std::lock_guard lock(m_csConfig);
        m_ProtocolData = {0, masterType, retries};
    }
    return HDRV_SUCCESS; // refusals are not reported here
}

int32_t CHartModemController::Subscribe(uint8_t flags) {
    const uint8_t mask = ReceiveMaskFromFlags(flags);
    uint8_t previousRemembered, previousDevice;
    {
        std::lock_guard lock(m_csConfig);
        previousRemembered = m_RcvMask;
        previousDevice = m_DeviceRcvMask;
        m_RcvMask = mask;
        m_DeviceRcvMask = mask;
    }
    CallerDeviceLock device(*this);
    if (!IsPresent() || !DeviceUsable()) return HDRV_SUCCESS; // remembered; sent when the device connects
    if (m_pHartModem->SetReadMask(mask)) return HDRV_SUCCESS;
    {
        std::lock_guard lock(m_csConfig);
        m_RcvMask = previousRemembered;
        m_DeviceRcvMask = previousDevice;
    }
    // A driver that did not answer in time would not answer the second request either.
    if (DeviceUsable() && m_pHartModem->LastErrorCode() != ERROR_TIMEOUT) m_pHartModem->SetReadMask(previousDevice);
    return HDRV_FAILURE;
}

void CHartModemController::QueueRecord(const HartMessage& record) {
    if (!m_ReadQueue.Push(record)) {
        Trace("%s Error: record lost, the queue is full\n", "CHartModemController::QueueRecord");
        return;
    }
    PostIfRegistered();
}

void CHartModemController::PostIfRegistered() {
    std::lock_guard lock(m_csNotify);
    if (m_AppRegistryInfo.hWnd == 0) {
        Trace("m_AppRegistryInfo.hWnd == NULL!!!\n");
        return;
    }
    PostAppMessage(m_AppRegistryInfo);
}

} // namespace zelhart::hartif

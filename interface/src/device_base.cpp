#include "device_base.h"

#include "trace.h"

namespace zelhart::hartif {

CDeviceBase::CDeviceBase(std::shared_ptr<IDeviceIo> io, std::string deviceName)
    : m_io(std::move(io)), m_strDeviceName(std::move(deviceName)) {}

CDeviceBase::~CDeviceBase() = default; // the file closes itself

void CDeviceBase::SetError(Win32Error code) {
    m_dwLastError = code;
    m_strLastError = SystemErrorText(code);
}

bool CDeviceBase::Open(const std::string& path, uint32_t flags) {
    if (path.empty()) {
        m_strLastError = "Open error!";
        return false;
    }
    m_strDeviceName = path;
    m_dwFlags = flags;
    m_strLastError.clear();
    m_dwLastError = ERROR_SUCCESS;
    Close();
    std::unique_ptr<IDeviceFile> file;
    Win32Error e = m_io ? m_io->Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, flags, &file)
                        : ERROR_FILE_NOT_FOUND;
    if (e != ERROR_SUCCESS || !file) {
        SetError(e != ERROR_SUCCESS ? e : ERROR_GEN_FAILURE);
        Trace("%s Error: CreateFile failed! Error: %u\n", "CDeviceBase::Open", m_dwLastError);
        return false;
    }
    m_hDevice = std::move(file);
    return true;
}

int32_t CDeviceBase::AsynchronousRead(int completionEventFd) {
    if (!m_hDevice) return 0;
    Win32Error e = m_hDevice->StartRead(kReadBufferSize, completionEventFd);
    if (e == ERROR_SUCCESS) return -1;
    SetError(e);
    if (e != ERROR_IO_PENDING) Trace("%s Error: ReadFile failed! Error: %u\n", "CDeviceBase::AsynchronousRead", e);
    return int32_t(e);
}

bool CDeviceBase::GetAsynchronousReadData(uint8_t* buffer, uint32_t capacity, uint32_t* bytes, bool wait) {
    *bytes = 0;
    if (!m_hDevice) {
        m_dwLastError = ERROR_INVALID_HANDLE;
        m_strLastError = "m_hDevice is not initialized!";
        return false;
    }
    Win32Error e = m_hDevice->GetReadResult(buffer, capacity, bytes, wait);
    if (e == ERROR_SUCCESS) return true;
    SetError(e);
    if (e != ERROR_IO_INCOMPLETE)
        Trace("%s Error: GetOverlappedResult failed! Error: %u\n", "CDeviceBase::GetAsynchronousReadData", e);
    return false;
}

bool CDeviceBase::SynchronousWrite(const uint8_t* data, uint32_t length) {
    if (!m_hDevice) {
        SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    uint32_t written = 0;
    Win32Error e = m_hDevice->Write(data, length, &written);
    if (e != ERROR_SUCCESS) {
        SetError(e);
        return false;
    }
    return true;
}

void CDeviceBase::CancelWrite() {
    if (m_hDevice) m_hDevice->CancelWrite();
}

bool CDeviceBase::Control(uint32_t code, void* buffer, uint32_t length, uint32_t* returned) {
    *returned = 0;
    if (!m_hDevice) {
        SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    Win32Error e = m_hDevice->DeviceIoControl(code, buffer, length, buffer, length, returned);
    if (e != ERROR_SUCCESS) {
        SetError(e);
        return false;
    }
    return true;
}

bool CDeviceBase::Close() {
    if (!m_hDevice) return false;
    Win32Error e = m_hDevice->Close();
    if (e != ERROR_SUCCESS) {
        SetError(e);
        Trace("Close FAILED with Status: %u\n", e);
        return false;
    }
    m_hDevice.reset();
    return true;
}

CHartModem::CHartModem(std::shared_ptr<IDeviceIo> io, std::string deviceName)
    : CDeviceBase(std::move(io), std::move(deviceName)) {}

CHartModem::~CHartModem() { Close(); }

bool CHartModem::SetReadMask(uint8_t mask) {
    uint32_t returned = 0;
    if (!Control(IOCTL_HART_SET_READ_MASK, &mask, sizeof(mask), &returned)) {
        Trace("%s Error: IOCTL_HART_SET_READ_MASK failed with status: 0x%x!n", "CHartModem::SetReadMask",
              m_dwLastError);
        return false;
    }
    Trace("IOCTL_HART_SET_READ_MASK Successful... BytesWritten: %u\n", returned);
    return true;
}

bool CHartModem::SetProtocol(const HartProtocolInfo& protocol) {
    HartProtocolInfo buffer = protocol;
    uint32_t returned = 0;
    if (!Control(IOCTL_HART_SET_PROTOCOL, &buffer, sizeof(buffer), &returned)) {
        Trace("%s Error: IOCTL_HART_SET_PROTOCOL failed with status: 0x%x!n", "CHartModem::SetProtocol",
              m_dwLastError);
        return false;
    }
    Trace("IOCTL_HART_SET_PROTOCOL Successful... BytesWritten: %u\n", returned);
    Trace("protocol.MasterType: 0x%x\n", protocol.MasterType);
    Trace("protocol.Mode: 0x%x\n", protocol.StateMachineMode);
    Trace("protocol.Retries: 0x%x\n\n", protocol.RetryCount);
    return true;
}

int32_t CHartModem::Configure(uint8_t masterType, uint8_t retries) {
    if (!IsOpen()) return HDRV_FAILURE;
    if (!SetReadMask(RCV_MASK_ACK_THIS_MASTER)) return HDRV_FAILURE;
    if (!SetProtocol({0, masterType, retries})) return HDRV_FAILURE;
    return HDRV_SUCCESS;
}

} // namespace zelhart::hartif

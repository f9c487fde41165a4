// The device wrappers: CDeviceBase holds one open device file, CHartModem adds the HART device's
// control requests.
#pragma once

#include "device_io.h"
#include "zelhart/hart_ioctl.h"

#include "zelhart/hart_api.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zelhart::hartif {

class CDeviceBase {
public:
    CDeviceBase(std::shared_ptr<IDeviceIo> io, std::string deviceName);
    virtual ~CDeviceBase();
    CDeviceBase(const CDeviceBase&) = delete;
    CDeviceBase& operator=(const CDeviceBase&) = delete;

    // Opens `path` for reading and writing with the given flags; an empty path fails at once.
    bool Open(const std::string& path, uint32_t flags);
    bool IsOpen() const { return m_hDevice != nullptr; }
    // Starts the read into the file's buffer: 0 when the device is not open, -1 when the read
    // completed at once, else the system error code (ERROR_IO_PENDING being the normal outcome).
    int32_t AsynchronousRead(int completionEventFd);
    // The result of that read: true with *bytes set on success; false with LastErrorCode() set.
    bool GetAsynchronousReadData(uint8_t* buffer, uint32_t capacity, uint32_t* bytes, bool wait);
    // Writes the bytes and waits for the write to complete; false with LastErrorCode() on failure.
    bool SynchronousWrite(const uint8_t* data, uint32_t length);
    // Ends the write in progress (and refuses later ones): callable from another thread while
    // SynchronousWrite runs, and only then.
    void CancelWrite();
    // Synchronous control request; false with LastErrorCode() on failure or when not open.
    bool Control(uint32_t code, void* buffer, uint32_t length, uint32_t* returned);
    // Closes the device if open; a failing close keeps it open. True when it was open and is now closed.
    bool Close();

    const std::string& DeviceName() const { return m_strDeviceName; }
    const std::string& LastError() const { return m_strLastError; }
    Win32Error LastErrorCode() const { return m_dwLastError; }

protected:
    void SetError(Win32Error code);

    std::shared_ptr<IDeviceIo> m_io;
    std::string m_strLastError;
    std::string m_strDeviceName;
    std::unique_ptr<IDeviceFile> m_hDevice;
    uint32_t m_dwFlags = 0;
    Win32Error m_dwLastError = ERROR_SUCCESS;
};

class CHartModem final : public CDeviceBase {
public:
    CHartModem(std::shared_ptr<IDeviceIo> io, std::string deviceName);
    ~CHartModem() override;

    bool SetReadMask(uint8_t mask);
    bool SetProtocol(const HartProtocolInfo& protocol);
    // Receive mask 0x02, then the protocol {master mode, masterType, retries}: 0 when both succeeded.
    int32_t Configure(uint8_t masterType, uint8_t retries);
};

// The maximum a read asks for, and the size of a received frame buffer.
inline constexpr uint32_t kReadBufferSize = HART_MESSAGE_DATA_SIZE;

} // namespace zelhart::hartif

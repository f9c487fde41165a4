// The library's view of the driver: the handful of I/O manager calls it makes, and nothing more.
//
// Each call mirrors one system call of the design (named in its comment) and reports its outcome as
// that call's GetLastError value. The driver daemon's client implements these over its socket; tests
// put an in-process device behind them. Paths are the Win32 names the library forms: HART devices as
// "\\.\{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART3", the function device by the path that
// FindDeviceInterface returned.
#pragma once

#include "win32.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zelhart::hartif {

// One open file object (a HANDLE). The library never calls one file from two threads at once, with
// one exception: CancelWrite.
class IDeviceFile {
public:
    virtual ~IDeviceFile() = default; // closes as Close() does when still open

    // ReadFile of at most `length` bytes on an overlapped handle. ERROR_IO_PENDING: started;
    // ERROR_SUCCESS: already complete. In both cases `completionEventFd` (an eventfd) is written
    // (incremented) once the result is available. Any other value: nothing was started and the event
    // is left alone. One read at a time.
    virtual Win32Error StartRead(uint32_t length, int completionEventFd) = 0;

    // GetOverlappedResult for that read. With `wait` false an unfinished read gives ERROR_IO_INCOMPLETE.
    // When finished: copies at most `capacity` bytes into `buffer`, sets `*bytes` and returns the
    // read's status (ERROR_SUCCESS, ERROR_OPERATION_ABORTED when the device went away or the read was
    // cancelled, ERROR_CRC with the bytes of a frame that failed its check, ...). The read is then
    // over; without a read started the result is ERROR_INVALID_PARAMETER.
    virtual Win32Error GetReadResult(uint8_t* buffer, uint32_t capacity, uint32_t* bytes, bool wait) = 0;

    // WriteFile of the whole buffer followed by GetOverlappedResult(wait): returns once the device has
    // completed the write (for a HART device: when the exchange it started has ended), or with
    // ERROR_OPERATION_ABORTED once CancelWrite was called. A driver that does not complete the write
    // in time may make it fail with ERROR_TIMEOUT.
    virtual Win32Error Write(const uint8_t* data, uint32_t length, uint32_t* written) = 0;

    // CancelIoEx of the write in progress, callable from any thread while Write runs: that write ends
    // at once with ERROR_OPERATION_ABORTED, and so does every later one (the file is about to be
    // closed). Nothing else of the file is touched.
    virtual void CancelWrite() = 0;

    // DeviceIoControl without OVERLAPPED (synchronous, buffered: input and output share one buffer).
    virtual Win32Error DeviceIoControl(uint32_t code, const void* in, uint32_t inLength, void* out,
                                       uint32_t outLength, uint32_t* returned) = 0;

    // CancelIo: a pending read completes with ERROR_OPERATION_ABORTED.
    virtual Win32Error CancelIo() = 0;

    // CloseHandle. On success the file is closed (further calls fail with ERROR_INVALID_HANDLE) and a
    // read still pending is abandoned: its event may be signalled while Close runs, but once Close
    // has returned (or the file is destroyed) the completion descriptor is never written again, since
    // the library may close it. On failure the file stays open.
    virtual Win32Error Close() = 0;
};

class IDeviceIo {
public:
    virtual ~IDeviceIo() = default;

    // CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr). ERROR_FILE_NOT_FOUND
    // when no such device exists (also when no driver is running).
    virtual Win32Error Open(const std::string& path, uint32_t access, uint32_t share, uint32_t flags,
                            std::unique_ptr<IDeviceFile>* file) = 0;

    // SetupDiGetClassDevs(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) + SetupDiEnumDeviceInterfaces(0) +
    // SetupDiGetDeviceInterfaceDetail: the path of the first present interface of the class.
    // ERROR_FILE_NOT_FOUND when no device information is available at all (no driver running),
    // ERROR_NO_MORE_ITEMS when the class has no present interface.
    virtual Win32Error FindDeviceInterface(const std::string& interfaceClassGuid, std::string* path) = 0;
};

// Without a driver to talk to: every open fails with ERROR_FILE_NOT_FOUND, every look-up too.
std::shared_ptr<IDeviceIo> MakeNoDriverDeviceIo();

// The device I/O of the running system, chosen when the library is loaded: the driver daemon's
// devices through its socket (MakeClientDeviceIo).
std::shared_ptr<IDeviceIo> DefaultDeviceIo();

} // namespace zelhart::hartif

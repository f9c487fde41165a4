// An in-process stand-in for the driver behind the library's device I/O interface.
//
// It holds HART devices by path (present or absent) and the function device, answers opens, reads,
// writes and control requests the way the driver does, records what it was asked, and lets a test
// deliver frames, fail reads and writes, hold writes and remove devices under open files.
#pragma once

#include "device_io.h"
#include "zelhart/hart_ioctl.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelhart::hartif::testing {

using Bytes = std::vector<uint8_t>;

struct IoctlCall {
    std::string path;
    uint32_t code = 0;
    Bytes input;
    size_t writesBefore = 0; // frames the device had been written when the request came
};

class FakeFile;

class FakeDriver final : public IDeviceIo, public std::enable_shared_from_this<FakeDriver> {
public:
    static constexpr const char* kFunctionPath = "\\\\?\\root#zelhart#0000#{dd2540c5-808a-4461-89fe-9cce766b8e77}";
    // "\\.\{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART<port>"
    static std::string HartPath(int port);

    // The driver side.
    void SetRunning(bool running);                 // false: no look-up answers at all
    void SetFunctionDevicePresent(bool present);   // the function device's interface is present
    void SetModemInitCreatesDevice(bool creates);  // IOCTL_HART_MODEM_INIT makes the port's HART device
    void AddDevice(const std::string& path);
    // The device goes away: pending reads end with ERROR_OPERATION_ABORTED, held writes too, and
    // every later request on its open files fails.
    void RemoveDevice(const std::string& path);
    // A reply to a written frame, delivered like a received frame once the write completes.
    void SetResponder(const std::string& path, std::function<std::optional<Bytes>(const Bytes&)> responder);
    void SetWriteError(const std::string& path, Win32Error error); // for writes started from now on
    void FailNextIoctl(const std::string& path, uint32_t code, Win32Error error, int times = 1);
    void SetCloseError(const std::string& path, Win32Error error);
    void SetSignalOnClose(bool signal); // a read abandoned by close still signals its event
    void HoldWrites(bool hold);         // writes wait until released (or the device goes away)
    void HoldCloses(bool hold);         // closes wait until released

    // Completes the pending read with the frame (or the error), or keeps it for the next read.
    void DeliverFrame(const std::string& path, const Bytes& frame, Win32Error status = ERROR_SUCCESS);

    // What happened.
    std::vector<IoctlCall> Ioctls(const std::string& path) const;
    std::vector<Bytes> Writes(const std::string& path) const;
    size_t WritesStarted(const std::string& path) const;
    int ClosesStarted(const std::string& path) const;
    int OpenCount(const std::string& path) const;
    int OpenFiles(const std::string& path) const;
    bool ReadPending(const std::string& path) const;
    // The last SET_READ_MASK byte and SET_PROTOCOL record sent to the device.
    std::optional<uint8_t> LastMask(const std::string& path) const;
    std::optional<HartProtocolInfo> LastProtocol(const std::string& path) const;

    // Waits (bounded) until `condition` holds; checked on every change of the fake's state.
    bool WaitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // IDeviceIo
    Win32Error Open(const std::string& path, uint32_t access, uint32_t share, uint32_t flags,
                    std::unique_ptr<IDeviceFile>* file) override;
    Win32Error FindDeviceInterface(const std::string& interfaceClassGuid, std::string* path) override;

private:
    friend class FakeFile;
    struct Device {
        bool present = false;
        std::function<std::optional<Bytes>(const Bytes&)> responder;
        Win32Error writeError = ERROR_SUCCESS;
        Win32Error closeError = ERROR_SUCCESS;
        std::map<uint32_t, std::pair<Win32Error, int>> ioctlFailures;
        std::vector<IoctlCall> ioctls;
        std::vector<Bytes> writes;
        size_t writesStarted = 0;
        int closesStarted = 0;
        std::optional<std::pair<Bytes, Win32Error>> buffered;
        int openCount = 0;
        std::vector<FakeFile*> files;
    };
    Device& DeviceAt(const std::string& path); // with lock_ held
    void DeliverLocked(Device& device, const Bytes& frame, Win32Error status);
    void Changed() { changed_.notify_all(); }

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::map<std::string, Device> devices_;
    bool running_ = true;
    bool functionPresent_ = true;
    bool modemInitCreates_ = true;
    bool signalOnClose_ = false;
    bool holdWrites_ = false;
    bool holdCloses_ = false;
};

} // namespace zelhart::hartif::testing

// The driver's function device (its control device): opened read-only by its interface class, used to
// announce ports that arrived (IOCTL_HART_MODEM_INIT). One per process.
#pragma once

#include "device_io.h"
#include "zelhart/hart_ioctl.h"

#include <memory>
#include <mutex>
#include <string>

namespace zelhart::hartif {

class FunctionDevice {
public:
    explicit FunctionDevice(std::shared_ptr<IDeviceIo> io) : io_(std::move(io)) {}
    FunctionDevice(const FunctionDevice&) = delete;
    FunctionDevice& operator=(const FunctionDevice&) = delete;

    // Looks the device up and opens it unless it is open already; true when open afterwards. The
    // library tries at load, and again whenever it needs the device and has none (the driver may
    // have started after the library was loaded).
    bool EnsureOpen();
    // Opens the device afresh (a daemon started again: the handle held may belong to the one that
    // went) and only then lets the previous handle go; true when open afterwards.
    bool Reopen();
    bool IsOpen() const;
    std::string Path() const;
    // Sends the record (as input and output buffer) and waits for the answer. A handle that turns
    // out to be dead is reopened once.
    Win32Error ModemInit(const HartModemInitInfo& record);
    void Close();

private:
    bool OpenLocked();

    std::shared_ptr<IDeviceIo> io_;
    mutable std::mutex lock_;
    std::unique_ptr<IDeviceFile> file_;
    std::string path_;
};

} // namespace zelhart::hartif

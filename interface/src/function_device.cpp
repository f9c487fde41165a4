#include "function_device.h"

#include "trace.h"

namespace zelhart::hartif {
namespace {

// The handle belongs to a driver that went away (a daemon that ended answers ERROR_NOT_READY), or to
// a function device that did (its device node was removed: STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED;
// the function device is opened for shared reading, so nothing else denies its control request).
bool HandleIsDead(Win32Error e) {
    return e == ERROR_INVALID_HANDLE || e == ERROR_OPERATION_ABORTED || e == ERROR_DEVICE_NOT_CONNECTED ||
           e == ERROR_NOT_READY || e == ERROR_ACCESS_DENIED;
}

} // namespace

bool FunctionDevice::OpenLocked() {
    if (file_) return true;
    if (!io_) return false;
    std::string path;
    Win32Error e = io_->FindDeviceInterface(kHartFunctionDeviceInterface, &path);
    if (e != ERROR_SUCCESS || path.empty()) {
        // Without a function device the library still works; ports that arrive are only not announced.
        if (e == ERROR_NO_MORE_ITEMS || (e == ERROR_SUCCESS && path.empty()))
            Trace("No SP_INTERFACE_DEVICE_DATA available for this GUID instance\n");
        else
            Trace("No HDEVINFO available for this GUID\n");
        return false;
    }
    std::unique_ptr<IDeviceFile> file;
    e = io_->Open(path, GENERIC_READ, FILE_SHARE_READ, 0, &file);
    if (e != ERROR_SUCCESS || !file) {
        Trace("%s Error: CreateFile failed! Error: %u\n", "FunctionDevice::Open", e);
        return false;
    }
    file_ = std::move(file);
    path_ = path;
    return true;
}

bool FunctionDevice::EnsureOpen() {
    std::lock_guard lock(lock_);
    return OpenLocked();
}

bool FunctionDevice::Reopen() {
    std::lock_guard lock(lock_);
    std::unique_ptr<IDeviceFile> previous = std::move(file_);
    const bool open = OpenLocked();
    if (previous) previous->Close(); // after the new open: a live driver keeps its HART devices
    return open;
}

bool FunctionDevice::IsOpen() const {
    std::lock_guard lock(lock_);
    return file_ != nullptr;
}

std::string FunctionDevice::Path() const {
    std::lock_guard lock(lock_);
    return path_;
}

Win32Error FunctionDevice::ModemInit(const HartModemInitInfo& record) {
    std::lock_guard lock(lock_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!OpenLocked()) return ERROR_INVALID_HANDLE;
        HartModemInitInfo buffer = record;
        uint32_t returned = 0;
        Win32Error e = file_->DeviceIoControl(IOCTL_HART_MODEM_INIT, &buffer, sizeof(buffer), &buffer,
                                              sizeof(buffer), &returned);
        if (!HandleIsDead(e)) return e;
        file_.reset(); // the driver went away under us: look it up again
    }
    return ERROR_INVALID_HANDLE;
}

void FunctionDevice::Close() {
    std::lock_guard lock(lock_);
    if (file_) file_->Close();
    file_.reset(); // a file that refused to close closes itself on destruction
    path_.clear();
}

} // namespace zelhart::hartif

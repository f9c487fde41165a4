#include "fake_driver.h"

#include "zelhart/hart_api.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace zelhart::hartif::testing {
namespace {

void SignalEvent(int fd) {
    uint64_t one = 1;
    if (fd >= 0) (void)!::write(fd, &one, sizeof(one));
}

std::string Narrow(const char16_t* text, size_t units) {
    std::string out;
    for (size_t i = 0; i < units && text[i]; ++i) out.push_back(char(text[i]));
    return out;
}

} // namespace

// One open file on a fake device. All state lives under the driver's lock.
class FakeFile final : public IDeviceFile {
public:
    FakeFile(std::shared_ptr<FakeDriver> driver, std::string path) : driver_(std::move(driver)), path_(std::move(path)) {}
    ~FakeFile() override {
        std::lock_guard lock(driver_->lock_);
        CloseLocked();
    }

    Win32Error StartRead(uint32_t length, int completionEventFd) override {
        std::lock_guard lock(driver_->lock_);
        if (Win32Error e = Usable()) return e;
        if (read_.active) return ERROR_INVALID_PARAMETER;
        read_ = {true, false, completionEventFd, length, {}, ERROR_SUCCESS};
        auto& device = driver_->DeviceAt(path_);
        driver_->Changed();
        if (device.buffered) {
            auto [frame, status] = *device.buffered;
            device.buffered.reset();
            CompleteLocked(frame, status);
            return ERROR_SUCCESS;
        }
        return ERROR_IO_PENDING;
    }

    Win32Error GetReadResult(uint8_t* buffer, uint32_t capacity, uint32_t* bytes, bool wait) override {
        std::unique_lock lock(driver_->lock_);
        *bytes = 0;
        if (closed_) return ERROR_INVALID_HANDLE;
        if (!read_.active) return ERROR_INVALID_PARAMETER;
        if (!read_.done) {
            if (!wait) return ERROR_IO_INCOMPLETE;
            driver_->changed_.wait(lock, [&] { return read_.done || closed_; });
            if (closed_) return ERROR_INVALID_HANDLE;
        }
        uint32_t n = std::min<uint32_t>(capacity, uint32_t(read_.data.size()));
        if (n > 0) std::memcpy(buffer, read_.data.data(), n);
        *bytes = n;
        read_.active = false;
        driver_->Changed();
        return read_.status;
    }

    Win32Error Write(const uint8_t* data, uint32_t length, uint32_t* written) override {
        std::unique_lock lock(driver_->lock_);
        *written = 0;
        if (Win32Error e = Usable()) return e;
        if (writeCancelled_) return ERROR_OPERATION_ABORTED;
        auto& device = driver_->DeviceAt(path_);
        const Win32Error error = device.writeError;
        ++device.writesStarted;
        driver_->Changed();
        driver_->changed_.wait(lock, [&] { return !driver_->holdWrites_ || lost_ || closed_ || writeCancelled_; });
        if (lost_ || closed_ || writeCancelled_) return ERROR_OPERATION_ABORTED;
        Bytes frame(data, data + length);
        device.writes.push_back(frame);
        if (error == ERROR_SUCCESS && device.responder) {
            if (auto reply = device.responder(frame)) driver_->DeliverLocked(device, *reply, ERROR_SUCCESS);
        }
        driver_->Changed();
        if (error != ERROR_SUCCESS) return error;
        *written = length;
        return ERROR_SUCCESS;
    }

    Win32Error DeviceIoControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                               uint32_t* returned) override {
        std::lock_guard lock(driver_->lock_);
        *returned = 0;
        (void)out, (void)outLength;
        if (Win32Error e = Usable()) return e;
        auto& device = driver_->DeviceAt(path_);
        const auto* input = static_cast<const uint8_t*>(in);
        device.ioctls.push_back({path_, code, Bytes(input, input + inLength), device.writes.size()});
        driver_->Changed();
        auto failure = device.ioctlFailures.find(code);
        if (failure != device.ioctlFailures.end() && failure->second.second > 0) {
            --failure->second.second;
            return failure->second.first;
        }
        if (code == IOCTL_HART_MODEM_INIT && path_ == FakeDriver::kFunctionPath) {
            if (inLength < sizeof(HartModemInitInfo)) return ERROR_INVALID_PARAMETER;
            HartModemInitInfo info;
            std::memcpy(&info, in, sizeof(info));
            std::string port = Narrow(info.PortName, 128);
            if (driver_->modemInitCreates_ && port.size() > 3) {
                auto& hart = driver_->DeviceAt(FakeDriver::HartPath(std::stoi(port.substr(3))));
                hart.present = true;
            }
        }
        return ERROR_SUCCESS;
    }

    void CancelWrite() override {
        std::lock_guard lock(driver_->lock_);
        writeCancelled_ = true;
        driver_->Changed();
    }

    Win32Error CancelIo() override {
        std::lock_guard lock(driver_->lock_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (read_.active && !read_.done) CompleteLocked({}, ERROR_OPERATION_ABORTED);
        return ERROR_SUCCESS;
    }

    Win32Error Close() override {
        std::unique_lock lock(driver_->lock_);
        if (closed_) return ERROR_INVALID_HANDLE;
        ++driver_->DeviceAt(path_).closesStarted;
        driver_->Changed();
        driver_->changed_.wait(lock, [&] { return !driver_->holdCloses_; });
        auto& device = driver_->DeviceAt(path_);
        if (device.closeError != ERROR_SUCCESS) return device.closeError;
        CloseLocked();
        return ERROR_SUCCESS;
    }

    // With the driver's lock held.
    void CompleteLocked(const Bytes& frame, Win32Error status) {
        read_.done = true;
        read_.status = status;
        read_.data.assign(frame.begin(), frame.begin() + std::min<size_t>(frame.size(), read_.length));
        SignalEvent(read_.eventFd);
        driver_->Changed();
    }
    void LoseDeviceLocked() {
        lost_ = true;
        if (read_.active && !read_.done) CompleteLocked({}, ERROR_OPERATION_ABORTED);
    }
    bool ReadWaiting() const { return read_.active && !read_.done; }

private:
    Win32Error Usable() const {
        if (closed_) return ERROR_INVALID_HANDLE;
        if (lost_) return ERROR_DEVICE_NOT_CONNECTED;
        return ERROR_SUCCESS;
    }
    void CloseLocked() {
        if (closed_) return;
        closed_ = true;
        if (read_.active && !read_.done && driver_->signalOnClose_) SignalEvent(read_.eventFd);
        auto& files = driver_->DeviceAt(path_).files;
        files.erase(std::remove(files.begin(), files.end(), this), files.end());
        driver_->Changed();
    }

    struct Read {
        bool active = false;
        bool done = false;
        int eventFd = -1;
        uint32_t length = 0;
        Bytes data;
        Win32Error status = ERROR_SUCCESS;
    };
    std::shared_ptr<FakeDriver> driver_;
    std::string path_;
    Read read_;
    bool closed_ = false;
    bool lost_ = false;
    bool writeCancelled_ = false;
};

std::string FakeDriver::HartPath(int port) {
    return std::string(kDevicePathPrefix) + kDeviceNameGuidPrefix + "HART" + std::to_string(port);
}

FakeDriver::Device& FakeDriver::DeviceAt(const std::string& path) { return devices_[path]; }

void FakeDriver::SetRunning(bool running) {
    std::lock_guard lock(lock_);
    running_ = running;
}

void FakeDriver::SetFunctionDevicePresent(bool present) {
    std::lock_guard lock(lock_);
    functionPresent_ = present;
}

void FakeDriver::SetModemInitCreatesDevice(bool creates) {
    std::lock_guard lock(lock_);
    modemInitCreates_ = creates;
}

void FakeDriver::AddDevice(const std::string& path) {
    std::lock_guard lock(lock_);
    DeviceAt(path).present = true;
    Changed();
}

void FakeDriver::RemoveDevice(const std::string& path) {
    std::lock_guard lock(lock_);
    auto& device = DeviceAt(path);
    device.present = false;
    device.buffered.reset();
    for (auto* file : device.files) file->LoseDeviceLocked();
    Changed();
}

void FakeDriver::SetResponder(const std::string& path, std::function<std::optional<Bytes>(const Bytes&)> responder) {
    std::lock_guard lock(lock_);
    DeviceAt(path).responder = std::move(responder);
}

void FakeDriver::SetWriteError(const std::string& path, Win32Error error) {
    std::lock_guard lock(lock_);
    DeviceAt(path).writeError = error;
}

void FakeDriver::FailNextIoctl(const std::string& path, uint32_t code, Win32Error error, int times) {
    std::lock_guard lock(lock_);
    DeviceAt(path).ioctlFailures[code] = {error, times};
}

void FakeDriver::SetCloseError(const std::string& path, Win32Error error) {
    std::lock_guard lock(lock_);
    DeviceAt(path).closeError = error;
}

void FakeDriver::SetSignalOnClose(bool signal) {
    std::lock_guard lock(lock_);
    signalOnClose_ = signal;
}

void FakeDriver::HoldWrites(bool hold) {
    std::lock_guard lock(lock_);
    holdWrites_ = hold;
    Changed();
}

void FakeDriver::HoldCloses(bool hold) {
    std::lock_guard lock(lock_);
    holdCloses_ = hold;
    Changed();
}

void FakeDriver::DeliverLocked(Device& device, const Bytes& frame, Win32Error status) {
    for (auto* file : device.files) {
        if (file->ReadWaiting()) {
            file->CompleteLocked(frame, status);
            return;
        }
    }
    device.buffered = std::make_pair(frame, status); // the driver keeps the latest frame for the next read
    Changed();
}

void FakeDriver::DeliverFrame(const std::string& path, const Bytes& frame, Win32Error status) {
    std::lock_guard lock(lock_);
    DeliverLocked(DeviceAt(path), frame, status);
}

std::vector<IoctlCall> FakeDriver::Ioctls(const std::string& path) const {
    std::lock_guard lock(lock_);
    auto it = devices_.find(path);
    return it == devices_.end() ? std::vector<IoctlCall>{} : it->second.ioctls;
}

std::vector<Bytes> FakeDriver::Writes(const std::string& path) const {
    std::lock_guard lock(lock_);
    auto it = devices_.find(path);
    return it == devices_.end() ? std::vector<Bytes>{} : it->second.writes;
}

size_t FakeDriver::WritesStarted(const std::string& path) const {
    std::lock_guard lock(lock_);
    auto it = devices_.find(path);
    return it == devices_.end() ? 0 : it->second.writesStarted;
}

int FakeDriver::ClosesStarted(const std::string& path) const {
    std::lock_guard lock(lock_);
    auto it = devices_.find(path);
    return it == devices_.end() ? 0 : it->second.closesStarted;
}

int FakeDriver::OpenCount(const std::string& path) const {
    std::lock_guard lock(lock_);
    auto it = devices_.find(path);
    return it == devices_.end() ? 0 : it->second.openCount;
}

int FakeDriver::OpenFiles(const std::string& path) const {
    std::lock_guard lock(lock_);
    auto it = devices_.find(path);
    return it == devices_.end() ? 0 : int(it->second.files.size());
}

bool FakeDriver::ReadPending(const std::string& path) const {
    std::lock_guard lock(lock_);
    auto it = devices_.find(path);
    if (it == devices_.end()) return false;
    return std::any_of(it->second.files.begin(), it->second.files.end(), [](auto* f) { return f->ReadWaiting(); });
}

std::optional<uint8_t> FakeDriver::LastMask(const std::string& path) const {
    std::optional<uint8_t> mask;
    for (const auto& call : Ioctls(path))
        if (call.code == IOCTL_HART_SET_READ_MASK && call.input.size() == 1) mask = call.input[0];
    return mask;
}

std::optional<HartProtocolInfo> FakeDriver::LastProtocol(const std::string& path) const {
    std::optional<HartProtocolInfo> protocol;
    for (const auto& call : Ioctls(path)) {
        if (call.code == IOCTL_HART_SET_PROTOCOL && call.input.size() == sizeof(HartProtocolInfo)) {
            HartProtocolInfo p;
            std::memcpy(&p, call.input.data(), sizeof(p));
            protocol = p;
        }
    }
    return protocol;
}

bool FakeDriver::WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const {
    // The condition usually calls back into the fake, so it is evaluated without the lock held; the
    // wait wakes on every change of the fake and at least every 20 ms for changes made elsewhere.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::unique_lock lock(lock_);
        changed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(20)));
    }
}

Win32Error FakeDriver::Open(const std::string& path, uint32_t, uint32_t, uint32_t, std::unique_ptr<IDeviceFile>* file) {
    std::lock_guard lock(lock_);
    file->reset();
    if (!running_) return ERROR_FILE_NOT_FOUND;
    bool isFunction = path == kFunctionPath;
    if (isFunction ? !functionPresent_ : !DeviceAt(path).present) return ERROR_FILE_NOT_FOUND;
    auto opened = std::make_unique<FakeFile>(shared_from_this(), path);
    auto& device = DeviceAt(path);
    ++device.openCount;
    device.files.push_back(opened.get());
    *file = std::move(opened);
    Changed();
    return ERROR_SUCCESS;
}

Win32Error FakeDriver::FindDeviceInterface(const std::string&, std::string* path) {
    std::lock_guard lock(lock_);
    path->clear();
    if (!running_) return ERROR_FILE_NOT_FOUND;
    if (!functionPresent_) return ERROR_NO_MORE_ITEMS;
    *path = kFunctionPath;
    return ERROR_SUCCESS;
}

} // namespace zelhart::hartif::testing

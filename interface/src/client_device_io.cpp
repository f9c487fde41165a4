#include "client_device_io.h"

#include "zelhart/platform/guid.h"
#include "zelhart/platform/iomgr_client.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <vector>

namespace zelhart::hartif {
namespace {

namespace iomgr = platform::iomgr;

// An eventfd of the caller's, duplicated so that the client can hold it as an event of its own. The
// duplicate names the same eventfd: setting it signals the caller's descriptor.
Win32Error AdoptEvent(int eventFd, std::unique_ptr<iomgr::Event>* out) {
    int copy = ::fcntl(eventFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return errno == EBADF ? ERROR_INVALID_HANDLE : Win32Error(platform::ERROR_NO_SYSTEM_RESOURCES);
    *out = std::make_unique<iomgr::Event>(platform::UniqueFd(copy));
    return ERROR_SUCCESS;
}

class ClientDeviceFile final : public IDeviceFile {
public:
    explicit ClientDeviceFile(std::unique_ptr<iomgr::DeviceFile> file) : file_(std::move(file)) {}
    // The client's close waits for the receiving thread, which completes a pending read (setting its
    // event) before it ends; only then may the read's buffer, OVERLAPPED and event go.
    ~ClientDeviceFile() override { Close(); }

    Win32Error StartRead(uint32_t length, int completionEventFd) override {
        if (!file_) return ERROR_INVALID_HANDLE;
        if (readStarted_) return ERROR_INVALID_PARAMETER;
        std::unique_ptr<iomgr::Event> event;
        if (Win32Error e = AdoptEvent(completionEventFd, &event); e != ERROR_SUCCESS) return e;
        // The previous read is over (its result was taken), so nothing refers to the old event now.
        readEvent_ = std::move(event);
        readBuffer_.assign(length, 0);
        readOverlapped_ = {};
        readOverlapped_.hEvent = readEvent_.get();
        Win32Error e = file_->Read(readBuffer_.data(), length, nullptr, &readOverlapped_);
        if (e == ERROR_IO_PENDING) readStarted_ = true;
        return e; // anything else: the request never left, and its event stays as it was
    }

    Win32Error GetReadResult(uint8_t* buffer, uint32_t capacity, uint32_t* bytes, bool wait) override {
        *bytes = 0;
        if (!file_) return ERROR_INVALID_HANDLE;
        if (!readStarted_) return ERROR_INVALID_PARAMETER;
        uint32_t transferred = 0;
        Win32Error e = file_->GetOverlappedResult(&readOverlapped_, &transferred, wait);
        if (e == ERROR_IO_INCOMPLETE) return e;
        readStarted_ = false;
        // A failed read may still carry bytes (a frame that failed its check comes with ERROR_CRC).
        uint32_t n = std::min({transferred, capacity, uint32_t(readBuffer_.size())});
        if (n > 0) std::memcpy(buffer, readBuffer_.data(), n);
        *bytes = n;
        return e;
    }

    // An overlapped write, waited for at most the client's request time-out; CancelWrite, from the
    // thread that closes the device, gives it up at once.
    Win32Error Write(const uint8_t* data, uint32_t length, uint32_t* written) override {
        *written = 0;
        if (!file_) return ERROR_INVALID_HANDLE;
        {
            std::lock_guard lock(writeLock_);
            if (writeCancelled_) return ERROR_OPERATION_ABORTED;
            writeOverlapped_ = {};
            Win32Error e = file_->Write(data, length, nullptr, &writeOverlapped_);
            if (e != ERROR_IO_PENDING) return e;
            writing_ = true;
        }
        Win32Error e = file_->GetOverlappedResultEx(&writeOverlapped_, written, iomgr::kRequestTimeoutMs);
        std::lock_guard lock(writeLock_);
        writing_ = false;
        if (e == iomgr::WAIT_TIMEOUT) {
            file_->Abandon(&writeOverlapped_);
            return ERROR_TIMEOUT;
        }
        return writeCancelled_ ? ERROR_OPERATION_ABORTED : e;
    }

    void CancelWrite() override {
        std::lock_guard lock(writeLock_);
        writeCancelled_ = true;
        if (writing_) file_->Abandon(&writeOverlapped_);
    }

    Win32Error DeviceIoControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                               uint32_t* returned) override {
        *returned = 0;
        if (!file_) return ERROR_INVALID_HANDLE;
        return file_->DeviceIoControl(code, in, inLength, out, outLength, returned);
    }

    Win32Error CancelIo() override {
        if (!file_) return ERROR_INVALID_HANDLE;
        return file_->CancelIo();
    }

    Win32Error Close() override {
        if (!file_) return ERROR_INVALID_HANDLE;
        Win32Error e = file_->Close();
        if (e != ERROR_SUCCESS) return e;
        file_.reset();
        readStarted_ = false;
        readEvent_.reset();
        return ERROR_SUCCESS;
    }

private:
    // Declared before the file so that they outlive it whatever the order of destruction.
    std::vector<uint8_t> readBuffer_;
    std::unique_ptr<iomgr::Event> readEvent_;
    iomgr::Overlapped readOverlapped_;
    bool readStarted_ = false;
    std::mutex writeLock_; // the write's state, shared with CancelWrite
    iomgr::Overlapped writeOverlapped_;
    bool writing_ = false;
    bool writeCancelled_ = false;
    std::unique_ptr<iomgr::DeviceFile> file_;
};

class ClientDeviceIo final : public IDeviceIo {
public:
    Win32Error Open(const std::string& path, uint32_t access, uint32_t share, uint32_t flags,
                    std::unique_ptr<IDeviceFile>* file) override {
        file->reset();
        std::unique_ptr<iomgr::DeviceFile> opened;
        Win32Error e = iomgr::DeviceFile::Open(path, access, share, flags, &opened);
        if (e != ERROR_SUCCESS) return e;
        if (!opened) return ERROR_GEN_FAILURE;
        *file = std::make_unique<ClientDeviceFile>(std::move(opened));
        return ERROR_SUCCESS;
    }

    Win32Error FindDeviceInterface(const std::string& interfaceClassGuid, std::string* path) override {
        path->clear();
        std::optional<platform::Guid> guid = platform::ParseGuid(interfaceClassGuid);
        if (!guid) return ERROR_INVALID_PARAMETER;
        return iomgr::LookupDeviceInterface(*guid, 0, path);
    }
};

} // namespace

std::shared_ptr<IDeviceIo> MakeClientDeviceIo() { return std::make_shared<ClientDeviceIo>(); }

} // namespace zelhart::hartif

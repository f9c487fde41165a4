#include "hartip_device_io.h"

#include "trace.h"

#include "zelhart/hart_api.h"
#include "zelhart/hart_ioctl.h"
#include "zelhart/platform/remote_port.h"
#include "zelhart/platform/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace zelhart::hartif {
namespace {

namespace hip = hartip;
using Clock = HartIpConnection::Clock;

void Signal(int eventFd) {
    const uint64_t one = 1;
    ssize_t n;
    do n = ::write(eventFd, &one, sizeof(one));
    while (n < 0 && errno == EINTR);
}

// What a token-passing PDU's response means for the write and the read.
struct PduOutcome {
    Win32Error write = ERROR_SUCCESS;
    bool deliver = false;          // something for the read
    Win32Error readStatus = ERROR_SUCCESS;
    bool lost = false;             // the session or the port is gone
};

PduOutcome JudgePduResponse(const hip::Message& m) {
    namespace st = hip::status;
    PduOutcome out;
    const uint8_t s = m.header.status;
    const bool answered = m.header.type == uint8_t(hip::MessageType::Response) &&
                          (s == st::kSuccess || s == st::kSetToNearest || s == st::kVersionNotSupported ||
                           s == st::kInsecureSessionExists);
    if (answered) {
        out.deliver = !m.body.empty();
        out.readStatus = hip::CheckFrame(m.body) == hip::FrameError::None ? ERROR_SUCCESS : ERROR_CRC;
        return out;
    }
    switch (s) {
    case st::kNoResponse: // as the driver's write that had no answer after its retries
        out.write = ERROR_UNEXP_NET_ERR;
        break;
    case st::kBusy:
        out.write = platform::ERROR_BUSY;
        break;
    case st::kDamagedResponse: // the damaged frame to the read, and the exchange failed
        out.write = ERROR_UNEXP_NET_ERR;
        out.deliver = true;
        out.readStatus = ERROR_CRC;
        break;
    case st::kPortUnavailable:
    case st::kNoSession:
        out.write = ERROR_OPERATION_ABORTED;
        out.lost = true;
        break;
    default: // the frame was refused (too short, too large, not a frame)
        out.write = ERROR_INVALID_PARAMETER;
        break;
    }
    return out;
}

class HartIpDeviceFile final : public IDeviceFile {
public:
    HartIpDeviceFile(platform::RemoteEndpoint endpoint, HartIpTimings timings, std::unique_ptr<HartIpConnection> c)
        : endpoint_(std::move(endpoint)), timings_(timings), connection_(std::move(c)) {}

    ~HartIpDeviceFile() override { Close(); }

    Win32Error Start() {
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_.valid()) return platform::ERROR_NO_SYSTEM_RESOURCES;
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return platform::ERROR_NO_SYSTEM_RESOURCES;
        }
        return ERROR_SUCCESS;
    }

    Win32Error StartRead(uint32_t length, int completionEventFd) override {
        std::lock_guard lock(m_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (readStarted_) return ERROR_INVALID_PARAMETER;
        readStarted_ = true;
        readDone_ = false;
        readFd_ = completionEventFd;
        readLength_ = length;
        DeliverLocked();
        return readDone_ ? ERROR_SUCCESS : ERROR_IO_PENDING;
    }

    Win32Error GetReadResult(uint8_t* buffer, uint32_t capacity, uint32_t* bytes, bool wait) override {
        *bytes = 0;
        std::unique_lock lock(m_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (!readStarted_) return ERROR_INVALID_PARAMETER;
        if (!readDone_) {
            if (!wait) return ERROR_IO_INCOMPLETE;
            cv_.wait(lock, [&] { return readDone_ || closed_; });
            if (!readDone_) return ERROR_OPERATION_ABORTED;
        }
        readStarted_ = false;
        const uint32_t n = std::min({capacity, readLength_, uint32_t(readBytes_.size())});
        if (n > 0) std::memcpy(buffer, readBytes_.data(), n);
        *bytes = n;
        return readStatus_;
    }

    Win32Error Write(const uint8_t* data, uint32_t length, uint32_t* written) override {
        *written = 0;
        // The frame without its preambles.
        uint32_t skip = 0;
        while (skip < length && data[skip] == 0xFF) ++skip;
        if (skip == length || length - skip > hip::kMaxFrameSize) return ERROR_INVALID_PARAMETER;
        std::unique_lock lock(m_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (writeCancelled_) return ERROR_OPERATION_ABORTED;
        if (lost_) return ERROR_NOT_READY;
        const uint64_t id = ++writeId_;
        outgoing_.assign(data + skip, data + length);
        outgoingId_ = id;
        Signal(wake_.get());
        cv_.wait(lock, [&] { return doneId_ == id || writeCancelled_; });
        if (doneId_ != id) {
            if (outgoingId_ == id) outgoingId_ = 0; // not sent yet: it never will be
            return ERROR_OPERATION_ABORTED;
        }
        if (writeResult_ == ERROR_SUCCESS) *written = length;
        return writeResult_;
    }

    void CancelWrite() override {
        std::lock_guard lock(m_);
        writeCancelled_ = true;
        cv_.notify_all();
    }

    Win32Error DeviceIoControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                               uint32_t* returned) override {
        *returned = 0;
        std::lock_guard lock(m_);
        if (closed_) return ERROR_INVALID_HANDLE;
        switch (code) {
        case IOCTL_HART_SET_READ_MASK:
            if (inLength < 1 || !in) return ERROR_INVALID_PARAMETER;
            readMask_ = *static_cast<const uint8_t*>(in);
            return ERROR_SUCCESS;
        case IOCTL_HART_GET_READ_MASK:
            if (outLength < 1 || !out) return ERROR_INVALID_PARAMETER;
            *static_cast<uint8_t*>(out) = readMask_;
            *returned = 1;
            return ERROR_SUCCESS;
        case IOCTL_HART_SET_PROTOCOL: {
            HartProtocolInfo protocol;
            if (inLength < sizeof(protocol) || !in) return ERROR_INVALID_PARAMETER;
            std::memcpy(&protocol, in, sizeof(protocol));
            if (protocol.StateMachineMode != HART_MODE_MASTER) return ERROR_NOT_SUPPORTED;
            protocol_ = protocol;
            return ERROR_SUCCESS;
        }
        case IOCTL_HART_GET_PROTOCOL:
            if (outLength < sizeof(protocol_) || !out) return ERROR_INVALID_PARAMETER;
            std::memcpy(out, &protocol_, sizeof(protocol_));
            *returned = sizeof(protocol_);
            return ERROR_SUCCESS;
        default:
            return platform::ERROR_INVALID_FUNCTION;
        }
    }

    Win32Error CancelIo() override {
        std::lock_guard lock(m_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (readStarted_ && !readDone_) CompleteReadLocked(ERROR_OPERATION_ABORTED, {});
        return ERROR_SUCCESS;
    }

    Win32Error Close() override {
        {
            std::lock_guard lock(m_);
            if (closed_) return ERROR_INVALID_HANDLE;
            closed_ = true;
            writeCancelled_ = true;
            readFd_ = -1; // never signalled again
            cv_.notify_all();
        }
        if (wake_.valid()) Signal(wake_.get());
        if (thread_.joinable()) thread_.join();
        if (connection_) connection_->CloseSession();
        connection_.reset();
        return ERROR_SUCCESS;
    }

private:
    struct Received {
        Win32Error status;
        std::vector<uint8_t> bytes;
    };

    void CompleteReadLocked(Win32Error status, std::vector<uint8_t> bytes) {
        readDone_ = true;
        readStatus_ = status;
        readBytes_ = std::move(bytes);
        if (readFd_ >= 0) Signal(readFd_);
        cv_.notify_all();
    }

    // Hands the oldest frame to a read waiting for one, or the loss of the session.
    void DeliverLocked() {
        if (!readStarted_ || readDone_ || closed_) return;
        if (!frames_.empty()) {
            Received r = std::move(frames_.front());
            frames_.pop_front();
            CompleteReadLocked(r.status, std::move(r.bytes));
        } else if (lost_) {
            CompleteReadLocked(ERROR_OPERATION_ABORTED, {});
        }
    }

    void PushFrameLocked(Win32Error status, std::vector<uint8_t> bytes) {
        if (frames_.size() >= kMaxFrames) frames_.pop_front(); // an unread backlog is cut at its oldest
        frames_.push_back({status, std::move(bytes)});
        DeliverLocked();
    }

    void FinishWriteLocked(Win32Error result) {
        doneId_ = sentId_;
        writeResult_ = result;
        cv_.notify_all();
    }

    void LoseSession(const char* why) {
        Trace("%s: session with %s lost: %s\n", "HartIpDeviceFile", endpoint_.HostText().c_str(), why);
        connection_.reset();
        std::lock_guard lock(m_);
        lost_ = true;
        if (awaiting_) FinishWriteLocked(ERROR_OPERATION_ABORTED);
        awaiting_.reset();
        DeliverLocked();
    }

    // A session with the master type asked for: the same one, or a new one in its place.
    bool EnsureMasterType(uint8_t masterType) {
        if (connection_->MasterType() == masterType) return true;
        connection_->CloseSession();
        connection_.reset();
        std::string why;
        if (HartIpConnection::Open(endpoint_, masterType, timings_, &connection_, &why) == ERROR_SUCCESS) return true;
        Trace("%s: no new session with %s: %s\n", "HartIpDeviceFile", endpoint_.HostText().c_str(), why.c_str());
        return false;
    }

    void Handle(const hip::Message& m) {
        const auto id = hip::MessageId(m.header.id);
        const auto type = hip::MessageType(m.header.type);
        if (id == hip::MessageId::TokenPassingPdu && type == hip::MessageType::Publish) {
            std::lock_guard lock(m_);
            if ((readMask_ & (RCV_MASK_BACK_THIS_MASTER | RCV_MASK_BACK_OTHER_MASTER)) && !m.body.empty())
                PushFrameLocked(hip::CheckFrame(m.body) == hip::FrameError::None ? ERROR_SUCCESS : ERROR_CRC, m.body);
            return;
        }
        if (id == hip::MessageId::SessionClose) return LoseSession("the server closed the session");
        if (m.header.status == hip::status::kNoSession) return LoseSession("the server has no session");
        if (id == hip::MessageId::KeepAlive && keepAlive_ && m.header.sequence == *keepAlive_) {
            keepAlive_.reset();
            return;
        }
        if (id != hip::MessageId::TokenPassingPdu || !awaiting_ || m.header.sequence != *awaiting_) return;
        const PduOutcome outcome = JudgePduResponse(m);
        {
            std::lock_guard lock(m_);
            awaiting_.reset();
            if (outcome.deliver) PushFrameLocked(outcome.readStatus, m.body);
            FinishWriteLocked(outcome.write);
        }
        if (outcome.lost) LoseSession("the server's port is gone");
    }

    void Run() {
        const auto keepAliveEvery = [&] {
            return std::chrono::milliseconds(std::max<uint32_t>(connection_ ? connection_->InactivityMs() / 3 : 1000, 100));
        };
        auto nextKeepAlive = Clock::now() + keepAliveEvery();
        Clock::time_point deadline{};
        for (;;) {
            std::vector<uint8_t> frame;
            uint8_t masterType = 0;
            {
                std::lock_guard lock(m_);
                if (closed_) return;
                if (connection_ && !awaiting_ && !keepAlive_ && outgoingId_ != 0) {
                    frame = std::move(outgoing_);
                    sentId_ = outgoingId_;
                    outgoingId_ = 0;
                    masterType = protocol_.MasterType == HART_PRIMARY_MASTER ? 1 : 0;
                } else if (!connection_ && outgoingId_ != 0) {
                    sentId_ = outgoingId_;
                    outgoingId_ = 0;
                    FinishWriteLocked(ERROR_NOT_READY);
                }
            }
            if (!frame.empty()) {
                if (!EnsureMasterType(masterType)) {
                    std::lock_guard lock(m_);
                    awaiting_ = 0; // so that the loss fails this write
                }
                if (!connection_) {
                    LoseSession("no session with the master type asked for");
                    continue;
                }
                hip::Header header;
                header.version = connection_->Version();
                header.type = uint8_t(hip::MessageType::Request);
                header.id = uint8_t(hip::MessageId::TokenPassingPdu);
                header.sequence = connection_->NextSequence();
                {
                    std::lock_guard lock(m_);
                    awaiting_ = header.sequence;
                }
                deadline = Clock::now() + std::chrono::milliseconds(timings_.responseMs);
                nextKeepAlive = Clock::now() + keepAliveEvery();
                if (!connection_->Send(hip::Encode(header, frame), deadline)) {
                    LoseSession("the request could not be sent");
                    continue;
                }
            }
            if (connection_ && !Awaiting() && !keepAlive_ && Clock::now() >= nextKeepAlive) {
                hip::Header header;
                header.version = connection_->Version();
                header.type = uint8_t(hip::MessageType::Request);
                header.id = uint8_t(hip::MessageId::KeepAlive);
                header.sequence = connection_->NextSequence();
                keepAlive_ = header.sequence;
                deadline = Clock::now() + std::chrono::milliseconds(timings_.responseMs);
                nextKeepAlive = Clock::now() + keepAliveEvery();
                if (!connection_->Send(hip::Encode(header, {}), deadline)) {
                    LoseSession("the keep-alive could not be sent");
                    continue;
                }
            }
            int timeout = -1;
            if (connection_) {
                const auto until = (Awaiting() || keepAlive_) ? deadline : nextKeepAlive;
                timeout = int(std::clamp<int64_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count() + 1, 0, 60000));
            }
            pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {connection_ ? connection_->fd() : -1, POLLIN, 0}};
            const int r = ::poll(fds, 2, timeout);
            if (r < 0 && errno != EINTR) {
                LoseSession("poll failed");
                continue;
            }
            if (fds[0].revents & POLLIN) {
                uint64_t value;
                [[maybe_unused]] ssize_t n = ::read(wake_.get(), &value, sizeof(value));
            }
            if (connection_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                std::vector<hip::Message> messages;
                const auto result = connection_->ReadAvailable(&messages);
                for (const auto& m : messages) {
                    if (!connection_) break;
                    Handle(m);
                }
                if (connection_ && result != HartIpConnection::ReadResult::Ok)
                    LoseSession(result == HartIpConnection::ReadResult::Closed ? "the server closed the connection"
                                                                               : "the connection failed");
            }
            if (connection_ && (Awaiting() || keepAlive_) && Clock::now() >= deadline)
                LoseSession("no response in time");
        }
    }

    bool Awaiting() {
        std::lock_guard lock(m_);
        return awaiting_.has_value();
    }

    static constexpr size_t kMaxFrames = 64;

    const platform::RemoteEndpoint endpoint_;
    const HartIpTimings timings_;
    std::unique_ptr<HartIpConnection> connection_; // the thread's alone while it runs
    std::optional<uint16_t> keepAlive_;             // the thread's alone
    platform::UniqueFd wake_;
    std::thread thread_;

    std::mutex m_;
    std::condition_variable cv_;
    bool closed_ = false;
    bool lost_ = false;
    // The read.
    bool readStarted_ = false, readDone_ = false;
    int readFd_ = -1;
    uint32_t readLength_ = 0;
    Win32Error readStatus_ = ERROR_SUCCESS;
    std::vector<uint8_t> readBytes_;
    std::deque<Received> frames_;
    // The write: handed to the thread as outgoing, sent, and answered with its id in doneId_.
    bool writeCancelled_ = false;
    uint64_t writeId_ = 0, outgoingId_ = 0, sentId_ = 0, doneId_ = 0;
    std::vector<uint8_t> outgoing_;
    std::optional<uint16_t> awaiting_; // the sequence number of the PDU sent
    Win32Error writeResult_ = ERROR_SUCCESS;
    // The device's settings.
    uint8_t readMask_ = RCV_MASK_ACK_THIS_MASTER;
    HartProtocolInfo protocol_{HART_MODE_MASTER, HART_SECONDARY_MASTER, 0};
};

class RemotePortDeviceIo final : public IDeviceIo {
public:
    RemotePortDeviceIo(std::shared_ptr<IDeviceIo> local, platform::SerialPortMapSources sources)
        : local_(std::move(local)), sources_(std::move(sources)) {}

    Win32Error Open(const std::string& path, uint32_t access, uint32_t share, uint32_t flags,
                    std::unique_ptr<IDeviceFile>* file) override {
        if (auto number = HartDevicePortNumber(path))
            if (auto endpoint = platform::LookupRemotePort(*number, sources_))
                return OpenHartIpDevice(*endpoint, CurrentHartIpTimings(), file);
        return local_->Open(path, access, share, flags, file);
    }

    Win32Error FindDeviceInterface(const std::string& interfaceClassGuid, std::string* path) override {
        return local_->FindDeviceInterface(interfaceClassGuid, path);
    }

private:
    std::shared_ptr<IDeviceIo> local_;
    platform::SerialPortMapSources sources_;
};

std::mutex g_timingsLock;
HartIpTimings g_timings;

} // namespace

Win32Error OpenHartIpDevice(const platform::RemoteEndpoint& endpoint, const HartIpTimings& timings,
                            std::unique_ptr<IDeviceFile>* file) {
    file->reset();
    std::unique_ptr<HartIpConnection> connection;
    std::string why;
    // A secondary master until the caller asks for another master type.
    const Win32Error e = HartIpConnection::Open(endpoint, 0, timings, &connection, &why);
    if (e != ERROR_SUCCESS) {
        Trace("%s Error: no session with %s: %s\n", "OpenHartIpDevice", endpoint.HostText().c_str(), why.c_str());
        return e;
    }
    auto device = std::make_unique<HartIpDeviceFile>(endpoint, timings, std::move(connection));
    if (Win32Error started = device->Start(); started != ERROR_SUCCESS) return started;
    *file = std::move(device);
    return ERROR_SUCCESS;
}

std::optional<int> HartDevicePortNumber(const std::string& path) {
    const std::string prefix = std::string(kDevicePathPrefix) + kDeviceNameGuidPrefix + "HART";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    const std::string com = "COM" + path.substr(prefix.size());
    auto number = platform::ParseComName(com);
    if (!number || com != "COM" + std::to_string(*number)) return std::nullopt;
    return number;
}

std::shared_ptr<IDeviceIo> MakeRemotePortDeviceIo(std::shared_ptr<IDeviceIo> local,
                                                  platform::SerialPortMapSources sources) {
    return std::make_shared<RemotePortDeviceIo>(std::move(local), std::move(sources));
}

HartIpTimings CurrentHartIpTimings() {
    std::lock_guard lock(g_timingsLock);
    return g_timings;
}

void SetHartIpTimings(const HartIpTimings& timings) {
    std::lock_guard lock(g_timingsLock);
    g_timings = timings;
}

} // namespace zelhart::hartif

#include "zelhart/platform/iomgr_client.h"

#include "zelhart/platform/iomgr_protocol.h"
#include "zelhart/platform/iomgr_socket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <vector>

namespace zelhart::platform::iomgr {
namespace {

constexpr int kTimeoutMs = static_cast<int>(kRequestTimeoutMs);

using Clock = std::chrono::steady_clock;

std::span<const uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Connects to the daemon's socket; 0 or an errno value. Sending on it gives up after the request
// time-out, so that not even a daemon that stopped reading can hold a caller.
int Connect(UniqueFd* out, const std::string& path = SocketPath()) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) return ENAMETOOLONG;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!sock) return errno;
    timeval sendTimeout{kTimeoutMs / 1000, (kTimeoutMs % 1000) * 1000};
    ::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
    for (;;) {
        if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) break;
        if (errno == EINTR) continue;
        return errno;
    }
    *out = std::move(sock);
    return 0;
}

// Waits for one message from the daemon until the deadline; false on time-out, hang-up or garbage.
bool ReceiveMessage(int sock, Clock::time_point deadline, std::vector<uint8_t>* buffer, Message* out) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{sock, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        size_t length = 0;
        auto r = ReceivePacket(sock, *buffer, &length, nullptr);
        if (r == ReceiveResult::Again) continue;
        if (r != ReceiveResult::Packet) return false;
        return Decode(std::span(buffer->data(), length), Sender::Daemon, out) == DecodeError::None;
    }
}

// Connects and exchanges Hello; 0 or a Win32 error.
uint32_t OpenSession(UniqueFd* sock, std::vector<uint8_t>* buffer) {
    int rc = Connect(sock);
    if (rc == ENOENT || rc == ECONNREFUSED) return ERROR_FILE_NOT_FOUND;
    if (rc == EACCES || rc == EPERM) return ERROR_ACCESS_DENIED;
    if (rc != 0) return ERROR_GEN_FAILURE;
    if (SendPacket(sock->get(), Encode(HelloRecord{kProtocolMagic, kProtocolVersion, 0})) != 0)
        return ERROR_FILE_NOT_FOUND;
    Message reply;
    if (!ReceiveMessage(sock->get(), Clock::now() + std::chrono::milliseconds(kTimeoutMs), buffer, &reply) ||
        reply.type() != MessageType::HelloReply)
        return ERROR_NOT_READY;
    const auto& r = std::get<HelloReplyRecord>(reply.record);
    if (r.magic != kProtocolMagic || r.version != kProtocolVersion) return ERROR_REVISION_MISMATCH;
    return NT_SUCCESS(r.status) ? ERROR_SUCCESS : NtStatusToWin32Error(r.status);
}

// Sends a request and waits for its completion during the open, before the receiving thread runs.
uint32_t Transact(int sock, std::vector<uint8_t>* buffer, std::span<const uint8_t> packet, uint64_t id,
                  int timeoutMs, CompleteRecord* result, std::string* data) {
    if (SendPacket(sock, packet) != 0) return ERROR_NOT_READY;
    Message m;
    if (!ReceiveMessage(sock, Clock::now() + std::chrono::milliseconds(timeoutMs), buffer, &m) ||
        m.type() != MessageType::Complete)
        return ERROR_NOT_READY;
    *result = std::get<CompleteRecord>(m.record);
    if (result->requestId != id) return ERROR_NOT_READY;
    if (data) data->assign(reinterpret_cast<const char*>(m.payload.data()), m.payload.size());
    return ERROR_SUCCESS;
}

std::string_view StripPrefix(std::string_view path) {
    if (path.size() >= 4 && path.substr(0, 2) == "\\\\" && (path[2] == '.' || path[2] == '?') &&
        path[3] == '\\')
        return path.substr(4);
    return path;
}

} // namespace

DeviceFile::DeviceFile(Key, UniqueFd sock, std::string objectName)
    : sock_(std::move(sock)), objectName_(std::move(objectName)) {
    receiver_ = std::thread([this] { ReceiveLoop(); });
}

DeviceFile::~DeviceFile() {
    Close();
}

uint32_t DeviceFile::Open(std::string_view path, uint32_t desiredAccess, uint32_t shareMode,
                          uint32_t /*flags*/, std::unique_ptr<DeviceFile>* out) {
    std::string_view name = StripPrefix(path);
    if (name.empty() || name.size() > kMaxObjectNameLength || name.find('\0') != std::string_view::npos)
        return ERROR_INVALID_NAME;
    UniqueFd sock;
    std::vector<uint8_t> buffer(kMaxMessageSize + 1);
    if (uint32_t e = OpenSession(&sock, &buffer); e != ERROR_SUCCESS) return e;
    CreateRecord create{1, desiredAccess, shareMode, static_cast<uint32_t>(name.size())};
    CompleteRecord result{};
    if (uint32_t e =
            Transact(sock.get(), &buffer, Encode(create, Bytes(name)), 1, kTimeoutMs, &result, nullptr);
        e != ERROR_SUCCESS)
        return e;
    if (!NT_SUCCESS(result.status)) return NtStatusToWin32Error(result.status);
    *out = std::make_unique<DeviceFile>(Key{}, std::move(sock), std::string(name));
    return ERROR_SUCCESS;
}

uint32_t DeviceFile::Submit(std::span<const uint8_t> packet, uint8_t* buffer, uint32_t capacity,
                            uint32_t* transferred, Overlapped* overlapped, int fdToPass) {
    // The packet was encoded with request id 0; the id goes in here, under the lock.
    std::vector<uint8_t> bytes(packet.begin(), packet.end());
    uint64_t id;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (!connected_) return NtStatusToWin32Error(STATUS_DEVICE_NOT_CONNECTED);
        id = nextId_++;
        std::memcpy(bytes.data() + sizeof(MessageHeader), &id,
                    sizeof(id)); // every request record starts with its id
        outstanding_[id] = Outstanding{buffer, capacity, overlapped};
        if (overlapped) {
            overlapped->Internal = STATUS_PENDING;
            overlapped->InternalHigh = 0;
            overlapped->requestId = id;
        }
    }
    if (SendPacket(sock_.get(), bytes, fdToPass) != 0) {
        std::lock_guard lock(mutex_);
        if (auto it = outstanding_.find(id); it != outstanding_.end() && !it->second.done)
            CompleteLocked(id, it->second, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (overlapped) return ERROR_IO_PENDING;
    std::unique_lock lock(mutex_);
    auto it = outstanding_.find(id);
    if (!completed_.wait_for(lock, std::chrono::milliseconds(kTimeoutMs), [&] { return it->second.done; })) {
        // The daemon does not answer: the caller's buffer is let go of, the request given up.
        const bool cancel = AbandonLocked(id);
        lock.unlock();
        if (cancel) SendCancel(id);
        return ERROR_TIMEOUT;
    }
    NTSTATUS status = it->second.status;
    if (transferred) *transferred = it->second.information;
    outstanding_.erase(it);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : NtStatusToWin32Error(status);
}

bool DeviceFile::AbandonLocked(uint64_t id) {
    auto it = outstanding_.find(id);
    if (it == outstanding_.end() || it->second.done) return false;
    abandoned_.insert(id);
    if (it->second.overlapped) {
        CompleteLocked(id, it->second, STATUS_CANCELLED, 0); // sets its event and forgets it
    } else {
        outstanding_.erase(it); // a synchronous request: its caller has gone already
        completed_.notify_all();
    }
    return connected_;
}

void DeviceFile::SendCancel(uint64_t id) {
    SendPacket(sock_.get(), Encode(CancelRecord{id}));
}

uint32_t DeviceFile::Abandon(Overlapped* overlapped) {
    if (!overlapped) return ERROR_INVALID_PARAMETER;
    bool cancel;
    uint64_t id;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return ERROR_INVALID_HANDLE;
        id = overlapped->requestId;
        if (id == 0 || outstanding_.count(id) == 0) return ERROR_NOT_FOUND;
        cancel = AbandonLocked(id);
    }
    if (cancel) SendCancel(id);
    return ERROR_SUCCESS;
}

uint32_t DeviceFile::Read(void* buffer, uint32_t length, uint32_t* transferred, Overlapped* overlapped) {
    if (transferred) *transferred = 0;
    if (length > kMaxTransferLength || (!buffer && length)) return ERROR_INVALID_PARAMETER;
    return Submit(Encode(ReadRecord{0, length}), static_cast<uint8_t*>(buffer), length, transferred,
                  overlapped, -1);
}

uint32_t DeviceFile::Write(const void* buffer, uint32_t length, uint32_t* transferred,
                           Overlapped* overlapped) {
    if (transferred) *transferred = 0;
    if (length > kMaxTransferLength || (!buffer && length)) return ERROR_INVALID_PARAMETER;
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(buffer), length);
    // No buffer to fill; the length bounds the bytes written the daemon may report.
    return Submit(Encode(WriteRecord{0, length}, bytes), nullptr, length, transferred, overlapped, -1);
}

uint32_t DeviceFile::DeviceIoControl(uint32_t code, const void* input, uint32_t inputLength, void* output,
                                     uint32_t outputLength, uint32_t* returned, Overlapped* overlapped,
                                     const Event* passEvent) {
    if (returned) *returned = 0;
    if (inputLength > kMaxTransferLength || outputLength > kMaxTransferLength || (!input && inputLength) ||
        (!output && outputLength) || (passEvent && !passEvent->valid()))
        return ERROR_INVALID_PARAMETER;
    DeviceControlRecord r{0, code, inputLength, outputLength,
                          passEvent ? static_cast<uint32_t>(passEvent->fd()) : kNoHandle};
    std::span<const uint8_t> in(static_cast<const uint8_t*>(input), inputLength);
    return Submit(Encode(r, in), static_cast<uint8_t*>(output), outputLength, returned, overlapped,
                  passEvent ? passEvent->fd() : -1);
}

uint32_t DeviceFile::GetOverlappedResult(Overlapped* overlapped, uint32_t* transferred, bool wait) {
    if (!overlapped) return ERROR_INVALID_PARAMETER;
    std::unique_lock lock(mutex_);
    auto pending = [&] { return outstanding_.count(overlapped->requestId) != 0; };
    if (pending()) {
        if (!wait) return ERROR_IO_INCOMPLETE;
        completed_.wait(lock, [&] { return !pending(); });
    }
    if (transferred) *transferred = overlapped->InternalHigh;
    return NT_SUCCESS(overlapped->Internal) ? ERROR_SUCCESS : NtStatusToWin32Error(overlapped->Internal);
}

uint32_t DeviceFile::GetOverlappedResultEx(Overlapped* overlapped, uint32_t* transferred,
                                           uint32_t timeoutMs) {
    if (!overlapped) return ERROR_INVALID_PARAMETER;
    if (timeoutMs == INFINITE) return GetOverlappedResult(overlapped, transferred, true);
    {
        std::unique_lock lock(mutex_);
        if (!completed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return outstanding_.count(overlapped->requestId) == 0; }))
            return WAIT_TIMEOUT;
    }
    return GetOverlappedResult(overlapped, transferred, false);
}

uint32_t DeviceFile::CancelIo() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (!connected_) return ERROR_SUCCESS;
    }
    SendPacket(sock_.get(), Encode(CancelRecord{0}));
    return ERROR_SUCCESS;
}

uint32_t DeviceFile::CancelIoEx(const Overlapped* overlapped) {
    if (!overlapped) return CancelIo();
    {
        std::lock_guard lock(mutex_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (overlapped->requestId == 0 || outstanding_.count(overlapped->requestId) == 0)
            return ERROR_NOT_FOUND;
        if (!connected_) return ERROR_SUCCESS;
    }
    SendPacket(sock_.get(), Encode(CancelRecord{overlapped->requestId}));
    return ERROR_SUCCESS;
}

uint32_t DeviceFile::Close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return ERROR_INVALID_HANDLE;
        closed_ = true;
    }
    // As CloseHandle, return only once the driver has cleaned up and closed its file object (and so
    // released what it held for the handle, such as a serial port): the daemon does that when it sees
    // the hang-up and then closes its end, which ends the receiver. A daemon that does not answer in
    // time is left behind.
    ::shutdown(sock_.get(), SHUT_WR);
    {
        std::unique_lock lock(mutex_);
        completed_.wait_for(lock, std::chrono::milliseconds(kTimeoutMs), [&] { return !connected_; });
    }
    ::shutdown(sock_.get(), SHUT_RDWR);
    if (receiver_.joinable()) receiver_.join();
    return ERROR_SUCCESS;
}

void DeviceFile::CompleteLocked(uint64_t id, Outstanding& o, NTSTATUS status, uint32_t information) {
    o.done = true;
    o.status = status;
    o.information = information;
    if (Overlapped* ov = o.overlapped) {
        ov->Internal = status;
        ov->InternalHigh = information;
        Event* event = ov->hEvent;
        outstanding_.erase(id); // an overlapped request is forgotten here; GetOverlappedResult reads ov
        if (event) event->Set();
    }
    completed_.notify_all();
}

void DeviceFile::FailAllLocked(NTSTATUS status) {
    std::vector<uint64_t> ids;
    for (auto& [id, o] : outstanding_)
        if (!o.done) ids.push_back(id);
    for (uint64_t id : ids)
        CompleteLocked(id, outstanding_.at(id), status, 0);
}

void DeviceFile::ReceiveLoop() {
    std::vector<uint8_t> buffer(kMaxMessageSize + 1);
    for (;;) {
        size_t length = 0;
        auto r = ReceivePacket(sock_.get(), buffer, &length, nullptr);
        if (r == ReceiveResult::Again) continue;
        if (r != ReceiveResult::Packet) break;
        Message m;
        if (Decode(std::span(buffer.data(), length), Sender::Daemon, &m) != DecodeError::None ||
            m.type() != MessageType::Complete)
            break;
        const auto& c = std::get<CompleteRecord>(m.record);
        std::lock_guard lock(mutex_);
        if (abandoned_.erase(c.requestId)) continue; // given up here already: nobody waits for it
        auto it = outstanding_.find(c.requestId);
        if (it == outstanding_.end() || it->second.done ||
            c.dataLength > (it->second.buffer ? it->second.capacity : 0))
            break;
        if (c.dataLength) std::memcpy(it->second.buffer, m.payload.data(), c.dataLength);
        const uint32_t information = std::min(c.information, it->second.capacity);
        CompleteLocked(c.requestId, it->second, c.status, information);
    }
    // Hang-up, or a daemon that broke the protocol: the connection is of no further use either way.
    ::shutdown(sock_.get(), SHUT_RDWR);
    std::lock_guard lock(mutex_);
    connected_ = false;
    abandoned_.clear();
    FailAllLocked(STATUS_CANCELLED);
    completed_.notify_all();
}

DaemonSocketState ProbeDaemonSocket(const std::string& socketPath) {
    const std::string path = socketPath.empty() ? SocketPath() : socketPath;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return DaemonSocketState::kAbsent;
    UniqueFd sock;
    return Connect(&sock, path) == 0 ? DaemonSocketState::kAccepting : DaemonSocketState::kNotAccepting;
}

uint32_t LookupDeviceInterface(const Guid& interfaceClass, uint32_t index, std::string* path) {
    UniqueFd sock;
    std::vector<uint8_t> buffer(kMaxMessageSize + 1);
    uint32_t e = OpenSession(&sock, &buffer);
    if (e == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS; // no daemon: no interface is present
    if (e != ERROR_SUCCESS) return e;
    CompleteRecord result{};
    std::string data;
    e = Transact(sock.get(), &buffer, Encode(LookupInterfaceRecord{1, interfaceClass, index}), 1, kTimeoutMs,
                 &result, &data);
    if (e != ERROR_SUCCESS) return e;
    if (!NT_SUCCESS(result.status)) return NtStatusToWin32Error(result.status);
    *path = std::move(data);
    return ERROR_SUCCESS;
}

} // namespace zelhart::platform::iomgr

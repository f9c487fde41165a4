// A scripted stand-in for the driver daemon's socket, to test the client alone.
//
// It answers Hello (with the version it is told to speak), Create (by name: "good" opens, "denied" is
// refused with STATUS_ACCESS_DENIED, anything else is not found) and LookupInterface (index 0 of the
// test class has a path) on its own. Read, Write, DeviceControl and Cancel are recorded; the test
// answers them with Complete() in whatever order it likes.
#pragma once

#include "zelhart/platform/iomgr_protocol.h"
#include "zelhart/platform/iomgr_socket.h"
#include "zelhart/platform/unique_fd.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <vector>

namespace zelhart::testing {

using namespace zelhart::platform;
using namespace zelhart::platform::iomgr;

inline const Guid kTestInterface = *ParseGuid("{DD2540C5-808A-4461-89FE-9CCE766B8E77}");
inline constexpr char kTestInterfacePath[] = "\\\\?\\ROOT#TEST#0000#{dd2540c5-808a-4461-89fe-9cce766b8e77}";

class FakeIomgrDaemon {
  public:
    struct Received {
        int conn = -1;
        MessageType type{};
        uint64_t requestId = 0;
        uint32_t length = 0; // Read length, DeviceControl output length
        uint32_t code = 0;
        uint32_t handleValue = kNoHandle;
        std::vector<uint8_t> payload;
        std::shared_ptr<UniqueFd> fd;
    };

    explicit FakeIomgrDaemon(const std::string& runtimeDir, uint16_t version = kProtocolVersion)
        : version_(version), wake_(::eventfd(0, EFD_CLOEXEC)) {
        std::string path = runtimeDir + "/" + kSocketFileName;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        listener_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::listen(listener_.get(), 8) != 0)
            std::abort();
        thread_ = std::thread([this] { Run(); });
    }

    ~FakeIomgrDaemon() {
        uint64_t one = 1;
        (void)!::write(wake_.get(), &one, sizeof(one));
        thread_.join();
    }

    // The next recorded message of `type`, waiting up to two seconds.
    std::optional<Received> WaitFor(MessageType type) {
        std::unique_lock lock(mutex_);
        std::optional<Received> found;
        cv_.wait_for(lock, std::chrono::seconds(2), [&] {
            for (auto it = log_.begin(); it != log_.end(); ++it)
                if (it->type == type) {
                    found = std::move(*it);
                    log_.erase(it);
                    return true;
                }
            return false;
        });
        return found;
    }

    void Complete(int conn, uint64_t id, NTSTATUS status, uint32_t information,
                  std::vector<uint8_t> data = {}, std::optional<uint32_t> claimedLength = std::nullopt) {
        CompleteRecord r{id, status, information, claimedLength.value_or(static_cast<uint32_t>(data.size()))};
        SendTo(conn, Encode(r, data));
    }

    void SendTo(int conn, const std::vector<uint8_t>& packet) {
        std::lock_guard lock(mutex_);
        if (auto it = conns_.find(conn); it != conns_.end()) SendPacket(it->second.get(), packet);
    }

    // Hangs up on a connection, as a daemon that dies would.
    void Drop(int conn) {
        std::lock_guard lock(mutex_);
        if (auto it = conns_.find(conn); it != conns_.end()) ::shutdown(it->second.get(), SHUT_RDWR);
    }

    bool WaitForHangUp(int conn) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(2), [&] { return hungUp_.count(conn) != 0; });
    }

  private:
    void Run() {
        std::vector<uint8_t> buffer(kMaxMessageSize + 1);
        for (;;) {
            std::vector<pollfd> fds{{wake_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
            std::vector<int> ids;
            {
                std::lock_guard lock(mutex_);
                for (auto& [id, fd] : conns_) {
                    fds.push_back({fd.get(), POLLIN, 0});
                    ids.push_back(id);
                }
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[0].revents) return;
            if (fds[1].revents & POLLIN) {
                UniqueFd c(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                std::lock_guard lock(mutex_);
                if (c) conns_[nextConn_++] = std::move(c);
            }
            for (size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents) Serve(ids[i - 2], buffer);
        }
    }

    void Serve(int conn, std::vector<uint8_t>& buffer) {
        int sock;
        {
            std::lock_guard lock(mutex_);
            sock = conns_.at(conn).get();
        }
        size_t length = 0;
        UniqueFd fd;
        auto r = ReceivePacket(sock, buffer, &length, &fd);
        Message m;
        if (r != ReceiveResult::Packet ||
            Decode(std::span(buffer.data(), length), Sender::Client, &m) != DecodeError::None) {
            std::lock_guard lock(mutex_);
            conns_.erase(conn);
            hungUp_.insert(conn);
            cv_.notify_all();
            return;
        }
        Received rec;
        rec.conn = conn;
        rec.type = m.type();
        rec.payload.assign(m.payload.begin(), m.payload.end());
        if (fd) rec.fd = std::make_shared<UniqueFd>(std::move(fd));
        if (auto* h = std::get_if<HelloRecord>(&m.record)) {
            SendPacket(sock, Encode(HelloReplyRecord{kProtocolMagic, version_, 0,
                                                     h->version == version_ ? STATUS_SUCCESS
                                                                            : STATUS_REVISION_MISMATCH}));
            return;
        }
        if (auto* c = std::get_if<CreateRecord>(&m.record)) {
            std::string name(rec.payload.begin(), rec.payload.end());
            NTSTATUS s = name == "good"     ? STATUS_SUCCESS
                         : name == "denied" ? STATUS_ACCESS_DENIED
                                            : STATUS_OBJECT_NAME_NOT_FOUND;
            SendPacket(sock, Encode(CompleteRecord{c->requestId, s, 0, 0}, {}));
            return;
        }
        if (auto* l = std::get_if<LookupInterfaceRecord>(&m.record)) {
            std::string path = kTestInterfacePath;
            bool found = l->interfaceClass == kTestInterface && l->index == 0;
            std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(path.data()),
                                          found ? path.size() : 0);
            SendPacket(sock,
                       Encode(CompleteRecord{l->requestId, found ? STATUS_SUCCESS : STATUS_NO_MORE_ENTRIES, 0,
                                             static_cast<uint32_t>(data.size())},
                              data));
            return;
        }
        if (auto* x = std::get_if<ReadRecord>(&m.record))
            rec.requestId = x->requestId, rec.length = x->length;
        if (auto* x = std::get_if<WriteRecord>(&m.record))
            rec.requestId = x->requestId, rec.length = x->length;
        if (auto* x = std::get_if<CancelRecord>(&m.record)) rec.requestId = x->requestId;
        if (auto* x = std::get_if<DeviceControlRecord>(&m.record)) {
            rec.requestId = x->requestId;
            rec.length = x->outputLength;
            rec.code = x->ioControlCode;
            rec.handleValue = x->handleValue;
        }
        std::lock_guard lock(mutex_);
        log_.push_back(std::move(rec));
        cv_.notify_all();
    }

    uint16_t version_;
    UniqueFd wake_;
    UniqueFd listener_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<int, UniqueFd> conns_;
    std::set<int> hungUp_;
    int nextConn_ = 1;
    std::deque<Received> log_;
};

} // namespace zelhart::testing

// The daemon side of the I/O manager: the socket, one connection per open handle, and the mapping of
// protocol messages onto file objects, requests and queues. Runs on the event loop thread only.
//
// Connections are bounded (FrameworkOptions): so many in all and per user, each must say hello
// within the hello deadline, and when the daemon runs out of descriptors it stops watching the
// socket for a short pause rather than finding it ready again at once with nothing to accept.
#pragma once

#include "zelhart/drvfw/types.h"
#include "zelhart/platform/iomgr_protocol.h"
#include "zelhart/platform/socket_access.h"
#include "zelhart/platform/unique_fd.h"

#include <chrono>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelhart::drvfw {

class IoManager {
  public:
    static constexpr size_t kMaxOutstandingRequests = 64; // per connection
    static constexpr size_t kMaxUnsentBytes = 256 * 1024; // completions a client leaves unread

    explicit IoManager(Framework& fw);
    ~IoManager();

    NTSTATUS Listen(const std::string& path);
    // Every connection ends (its requests are cancelled, its handle cleaned up and closed) and the
    // socket goes away.
    void CloseAll();
    size_t ConnectionCount() const { return connections_.size(); }
    // Who may connect, in words: "group zelhart, mode 0660" or why only the owner may.
    const std::string& AccessText() const { return accessText_; }

  private:
    struct Connection;
    using ConnectionPtr = std::shared_ptr<Connection>;

    void OnAccept();
    // Gives the bound socket to the configured group and mode and sets the rule clients are checked by.
    void SetSocketAccess(const std::string& path);
    // The connection may stay: under both limits. Traces the refusal otherwise.
    bool Admit(const Connection& conn);
    void PauseAccepting(int error);
    void ResumeAccepting();
    void OnHelloDeadline();
    void ArmHelloTimer();
    void OnEvents(const ConnectionPtr& conn, uint32_t events);
    void OnPacket(const ConnectionPtr& conn, std::span<const uint8_t> packet, platform::UniqueFd fd);
    void HandleHello(const ConnectionPtr& conn, const platform::iomgr::HelloRecord& r);
    void HandleCreate(const ConnectionPtr& conn, const platform::iomgr::CreateRecord& r,
                      std::span<const uint8_t> name);
    void HandleIo(const ConnectionPtr& conn, const platform::iomgr::Message& m, platform::UniqueFd fd);
    void HandleCancel(const ConnectionPtr& conn, uint64_t id);
    void HandleLookup(const ConnectionPtr& conn, const platform::iomgr::LookupInterfaceRecord& r);
    void OnCreateCompleted(const std::weak_ptr<Connection>& weak, uint64_t id, const WDFREQUEST& request);
    void ReportCompletion(const std::weak_ptr<Connection>& weak, uint64_t id, const WDFREQUEST& request);
    void SendComplete(const ConnectionPtr& conn, uint64_t id, NTSTATUS status, uint32_t information,
                      std::span<const uint8_t> data);
    void Send(const ConnectionPtr& conn, std::vector<uint8_t> packet);
    void Flush(const ConnectionPtr& conn);
    void Drop(const ConnectionPtr& conn, const char* why);
    void CloseFile(const WDFFILEOBJECT& file);
    WDFREQUEST NewRequest(RequestType type, const WDFFILEOBJECT& file);

    Framework& fw_;
    platform::UniqueFd listener_;
    std::string path_;
    std::map<int, ConnectionPtr> connections_;
    std::map<uid_t, size_t> connectionsPerUser_;
    // Connections waiting for their hello, in the order of their deadlines (the order of accepting).
    std::deque<std::weak_ptr<Connection>> awaitingHello_;
    platform::UniqueFd helloTimer_, acceptTimer_; // timerfds on the loop
    bool helloTimerArmed_ = false;
    bool acceptStarved_ = false; // out of descriptors since the last accepted client
    bool refusing_ = false;      // over a limit since the last admitted client
    platform::SocketAccessRule access_;
    std::string accessText_;
    std::set<uid_t> refusedUsers_; // outside the group, said once each (a bounded number of them)
    std::vector<uint8_t> buffer_;
};

} // namespace zelhart::drvfw

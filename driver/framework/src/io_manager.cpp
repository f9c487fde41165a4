#include "io_manager.h"

#include "object_namespace.h"
#include "zelhart/drvfw/device.h"
#include "zelhart/drvfw/framework.h"
#include "zelhart/drvfw/io_queue.h"
#include "zelhart/drvfw/request.h"
#include "zelhart/drvfw/trace.h"
#include "zelhart/platform/iomgr_socket.h"
#include "zelhart/platform/runtime_dir.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelhart::drvfw {

using namespace platform::iomgr;
using platform::UniqueFd;

struct IoManager::Connection {
    UniqueFd sock;
    pid_t pid = 0;
    uid_t uid = 0;
    bool hello = false;
    bool dead = false;
    bool outsider = false; // may not use the daemon: its hello is answered with a refusal
    std::chrono::steady_clock::time_point helloDue;
    enum class File { None, Creating, Open } file = File::None;
    WDFFILEOBJECT fileObject;
    std::map<uint64_t, std::weak_ptr<Request>> outstanding;
    std::deque<std::vector<uint8_t>> unsent;
    size_t unsentBytes = 0;
};

namespace {

sockaddr_un Address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), std::min(path.size() + 1, sizeof(addr.sun_path) - 1));
    return addr;
}

// Another daemon answers on `path`.
bool SomeoneListens(const std::string& path) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr = Address(path);
    return probe && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

// A one-shot timerfd: fires once, `in` from now (at least 1 ns: zero would disarm it).
void ArmOnce(int timerFd, std::chrono::nanoseconds in) {
    int64_t ns = std::max<int64_t>(in.count(), 1);
    itimerspec spec{};
    spec.it_value = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    ::timerfd_settime(timerFd, 0, &spec, nullptr);
}

void Disarm(int timerFd) {
    itimerspec off{};
    ::timerfd_settime(timerFd, 0, &off, nullptr);
}

// Takes the expiry count, so that the timerfd is no longer readable.
void Acknowledge(int timerFd) {
    uint64_t expirations;
    (void)!::read(timerFd, &expirations, sizeof(expirations));
}

std::string Directory(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

IoManager::IoManager(Framework& fw) : fw_(fw), buffer_(kMaxMessageSize + 1) {}

IoManager::~IoManager() {
    for (const UniqueFd* timer : {&helloTimer_, &acceptTimer_})
        if (*timer) fw_.loop().RemoveFd(timer->get());
    if (listener_) {
        fw_.loop().RemoveFd(listener_.get());
        ::unlink(path_.c_str());
    }
}

NTSTATUS IoManager::Listen(const std::string& path) {
    if (listener_) return STATUS_INVALID_DEVICE_STATE;
    if (path.size() >= sizeof(sockaddr_un::sun_path)) return STATUS_OBJECT_NAME_INVALID;
    platform::MakeDirs(Directory(path));
    if (SomeoneListens(path)) return STATUS_OBJECT_NAME_COLLISION;
    ::unlink(path.c_str()); // left behind by a daemon that did not end cleanly
    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un addr = Address(path);
    if (!sock || ::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        FrameworkTrace(TraceLevel::Error, "socket %s: %s", path.c_str(), std::strerror(errno));
        return STATUS_ACCESS_DENIED;
    }
    SetSocketAccess(path);
    helloTimer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    acceptTimer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!helloTimer_ || !acceptTimer_ ||
        fw_.loop().AddFd(helloTimer_.get(), EPOLLIN, [this](uint32_t) { OnHelloDeadline(); }) != 0 ||
        fw_.loop().AddFd(acceptTimer_.get(), EPOLLIN, [this](uint32_t) { ResumeAccepting(); }) != 0 ||
        ::listen(sock.get(), 64) != 0 ||
        fw_.loop().AddFd(sock.get(), EPOLLIN, [this](uint32_t) { OnAccept(); }) != 0) {
        for (UniqueFd* timer : {&helloTimer_, &acceptTimer_})
            if (*timer) {
                fw_.loop().RemoveFd(timer->get());
                timer->reset();
            }
        ::unlink(path.c_str());
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    listener_ = std::move(sock);
    path_ = path;
    return STATUS_SUCCESS;
}

void IoManager::SetSocketAccess(const std::string& path) {
    const FrameworkOptions& o = fw_.options();
    access_ = {};
    access_.owner = ::geteuid();
    access_.everybody = (o.socketMode & 0007) != 0;
    char mode[8];
    std::optional<gid_t> gid = platform::LookupGroup(o.socketGroup);
    if (gid) {
        if (std::string e = platform::GiveToGroup(path, *gid, o.socketMode & 0777); e.empty()) {
            access_.group = gid;
            std::snprintf(mode, sizeof(mode), "%04o", o.socketMode & 0777);
            accessText_ = "group " + o.socketGroup + ", mode " + mode;
            return;
        } else {
            FrameworkTrace(TraceLevel::Error, "%s; only the daemon's user and root may use it", e.c_str());
        }
    }
    // No group to serve: the daemon's own user, as anybody runs it by hand, and root.
    const unsigned ownerMode = (o.socketMode & 0707) | 0600;
    ::chmod(path.c_str(), ownerMode);
    std::snprintf(mode, sizeof(mode), "%04o", ownerMode);
    accessText_ = (o.socketGroup.empty() ? std::string("no group")
                   : gid                 ? "group " + o.socketGroup + " not given"
                                         : "no group " + o.socketGroup + " on this system") +
                  ", mode " + mode + (access_.everybody ? ": every user" : ": only uid " + std::to_string(access_.owner) + " and root");
}

void IoManager::CloseAll() {
    std::vector<ConnectionPtr> all;
    for (auto& [fd, c] : connections_)
        all.push_back(c);
    for (auto& c : all)
        Drop(c, nullptr);
    if (listener_) {
        fw_.loop().RemoveFd(listener_.get());
        listener_.reset();
        ::unlink(path_.c_str());
    }
}

void IoManager::OnAccept() {
    for (;;) {
        UniqueFd sock(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!sock) {
            int error = errno;
            if (error == EINTR || error == ECONNABORTED) continue;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)
                PauseAccepting(error);
            return; // EAGAIN: every waiting client is taken
        }
        acceptStarved_ = false;
        auto conn = std::make_shared<Connection>();
        ucred cred{};
        socklen_t len = sizeof(cred);
        const bool known = ::getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof(cred);
        if (known) {
            conn->pid = cred.pid;
            conn->uid = cred.uid;
        }
        // A client whose credentials cannot be read is no member of anything.
        conn->outsider = !known ||
                         !platform::PeerMayConnect(access_, cred.uid, cred.gid, platform::PeerGroups(sock.get(), cred.pid));
        if (!Admit(*conn)) continue; // closed at once: the client sees the hang-up
        if (conn->outsider && refusedUsers_.size() < 256 && refusedUsers_.insert(conn->uid).second)
            FrameworkTrace(TraceLevel::Error, "client pid %d uid %u refused: %s", static_cast<int>(conn->pid),
                           static_cast<unsigned>(conn->uid),
                           access_.group ? ("not in group " + fw_.options().socketGroup).c_str()
                                         : "not the daemon's user, and the daemon serves no group");
        int fd = sock.get();
        conn->sock = std::move(sock);
        std::weak_ptr<Connection> weak = conn;
        if (fw_.loop().AddFd(fd, EPOLLIN, [this, weak](uint32_t events) {
                if (auto c = weak.lock()) OnEvents(c, events);
            }) != 0)
            continue;
        connections_[fd] = conn;
        ++connectionsPerUser_[conn->uid];
        conn->helloDue = std::chrono::steady_clock::now() + fw_.options().helloDeadline;
        awaitingHello_.push_back(conn);
        ArmHelloTimer();
        FrameworkTrace(TraceLevel::Info, "client pid %d uid %u connected", static_cast<int>(conn->pid),
                       static_cast<unsigned>(conn->uid));
    }
}

bool IoManager::Admit(const Connection& conn) {
    const FrameworkOptions& o = fw_.options();
    const char* why = nullptr;
    if (connections_.size() >= o.maxConnections) {
        why = "the daemon has as many connections as it takes";
    } else {
        auto it = connectionsPerUser_.find(conn.uid);
        if (it != connectionsPerUser_.end() && it->second >= o.maxConnectionsPerUser)
            why = "its user has as many connections as one user may";
    }
    if (why && !refusing_) // once until a client is admitted again: a flood of clients is no flood of lines
        FrameworkTrace(TraceLevel::Error, "client pid %d uid %u refused: %s", static_cast<int>(conn.pid),
                       static_cast<unsigned>(conn.uid), why);
    refusing_ = why != nullptr;
    return !refusing_;
}

// Level-triggered, the socket would be reported ready at once again, and the loop would spin for as
// long as no descriptor is free. Nothing is accepted for a short pause instead; the clients wait in
// the socket's backlog meanwhile.
void IoManager::PauseAccepting(int error) {
    if (!acceptStarved_)
        FrameworkTrace(TraceLevel::Error, "cannot accept a client: %s; trying again every %lld ms",
                       std::strerror(error), static_cast<long long>(fw_.options().acceptPause.count()));
    acceptStarved_ = true; // traced once until a client is accepted again
    fw_.loop().ModifyFd(listener_.get(), 0);
    ArmOnce(acceptTimer_.get(), fw_.options().acceptPause);
}

void IoManager::ResumeAccepting() {
    Acknowledge(acceptTimer_.get());
    if (listener_) fw_.loop().ModifyFd(listener_.get(), EPOLLIN);
}

void IoManager::ArmHelloTimer() {
    while (!awaitingHello_.empty()) {
        auto conn = awaitingHello_.front().lock();
        if (conn && !conn->dead && !conn->hello) {
            ArmOnce(helloTimer_.get(), conn->helloDue - std::chrono::steady_clock::now());
            return;
        }
        awaitingHello_.pop_front();
    }
    Disarm(helloTimer_.get());
}

// A connection that has not said hello in time is closed: it would hold a descriptor for nothing.
// What it sent meanwhile is taken in first, so that a hello the loop has not read yet still counts.
void IoManager::OnHelloDeadline() {
    Acknowledge(helloTimer_.get());
    auto now = std::chrono::steady_clock::now();
    while (!awaitingHello_.empty()) {
        auto conn = awaitingHello_.front().lock();
        if (conn && !conn->dead && !conn->hello && conn->helloDue > now) break;
        awaitingHello_.pop_front();
        if (!conn || conn->dead || conn->hello) continue;
        OnEvents(conn, EPOLLIN);
        if (!conn->dead && !conn->hello) Drop(conn, "no hello in time");
    }
    ArmHelloTimer();
}

void IoManager::OnEvents(const ConnectionPtr& conn, uint32_t events) {
    if (events & EPOLLOUT) Flush(conn);
    // A few packets per wake-up, so that one busy client cannot starve the others.
    for (int i = 0; i < 16 && !conn->dead; ++i) {
        size_t length = 0;
        UniqueFd fd;
        auto r = ReceivePacket(conn->sock.get(), buffer_, &length, &fd);
        if (r == ReceiveResult::Again) break;
        if (r == ReceiveResult::Packet) {
            OnPacket(conn, std::span(buffer_.data(), length), std::move(fd));
            continue;
        }
        Drop(conn, r == ReceiveResult::Closed ? nullptr : "unreadable or oversized packet");
        return;
    }
    if (!conn->dead && (events & (EPOLLHUP | EPOLLERR)) && !(events & EPOLLIN)) Drop(conn, nullptr);
}

void IoManager::OnPacket(const ConnectionPtr& conn, std::span<const uint8_t> packet, UniqueFd fd) {
    Message m;
    if (DecodeError e = Decode(packet, Sender::Client, &m); e != DecodeError::None)
        return Drop(conn, DecodeErrorText(e));
    if (fd && m.type() != MessageType::DeviceControl)
        return Drop(conn, "descriptor with a message that takes none");
    if (!conn->hello && m.type() != MessageType::Hello) return Drop(conn, "request before hello");
    switch (m.type()) {
    case MessageType::Hello:
        return HandleHello(conn, std::get<HelloRecord>(m.record));
    case MessageType::Create:
        return HandleCreate(conn, std::get<CreateRecord>(m.record), m.payload);
    case MessageType::Read:
    case MessageType::Write:
    case MessageType::DeviceControl:
        return HandleIo(conn, m, std::move(fd));
    case MessageType::Cancel:
        return HandleCancel(conn, std::get<CancelRecord>(m.record).requestId);
    case MessageType::LookupInterface:
        return HandleLookup(conn, std::get<LookupInterfaceRecord>(m.record));
    default:
        return Drop(conn, "unexpected message");
    }
}

void IoManager::HandleHello(const ConnectionPtr& conn, const HelloRecord& r) {
    if (conn->hello || r.magic != kProtocolMagic) return Drop(conn, "bad hello");
    if (conn->outsider) { // told why, instead of a hang-up the client could not tell from a crash
        SendPacket(conn->sock.get(), Encode(HelloReplyRecord{kProtocolMagic, kProtocolVersion, 0,
                                                             STATUS_PRIVILEGE_NOT_HELD}));
        return Drop(conn, nullptr);
    }
    bool match = r.version == kProtocolVersion;
    SendPacket(conn->sock.get(), Encode(HelloReplyRecord{kProtocolMagic, kProtocolVersion, 0,
                                                         match ? STATUS_SUCCESS : STATUS_REVISION_MISMATCH}));
    if (!match) return Drop(conn, "protocol version not spoken here");
    conn->hello = true;
}

WDFREQUEST IoManager::NewRequest(RequestType type, const WDFFILEOBJECT& file) {
    auto request = std::make_shared<Request>(fw_, ObjectAttributes{}, nullptr);
    request->fromCaller_ = true;
    request->params_.Type = type;
    request->file_ = file;
    return request;
}

void IoManager::HandleCreate(const ConnectionPtr& conn, const CreateRecord& r,
                             std::span<const uint8_t> nameBytes) {
    if (conn->file != Connection::File::None) return Drop(conn, "second create on one handle");
    std::string name(reinterpret_cast<const char*>(nameBytes.data()), nameBytes.size());
    WDFDEVICE device = fw_.names().Resolve(name);
    if (!device || device->IsDeleted())
        return SendComplete(conn, r.requestId, STATUS_OBJECT_NAME_NOT_FOUND, 0, {});
    if (!device->AcceptsOpens()) return SendComplete(conn, r.requestId, STATUS_DEVICE_NOT_READY, 0, {});
    if (!device->TryReserveOpen()) return SendComplete(conn, r.requestId, STATUS_ACCESS_DENIED, 0, {});
    auto file = std::make_shared<FileObject>(fw_, device->fileAttributes(), device, name, r.desiredAccess,
                                             r.shareAccess, conn->pid, conn->uid);
    WDFREQUEST request = NewRequest(RequestType::Create, file);
    request->state_ = Request::State::DriverOwned;
    conn->file = Connection::File::Creating;
    conn->fileObject = file;
    std::weak_ptr<Connection> weak = conn;
    uint64_t id = r.requestId;
    request->onComplete_ = [this, weak, id](const WDFREQUEST& req) { OnCreateCompleted(weak, id, req); };
    if (const auto& create = device->fileConfig().EvtDeviceFileCreate) {
        auto keep = device->KeepAlive();
        create(device, request, file);
    } else {
        request->Complete(STATUS_SUCCESS);
    }
}

void IoManager::OnCreateCompleted(const std::weak_ptr<Connection>& weak, uint64_t id,
                                  const WDFREQUEST& request) {
    NTSTATUS status = request->GetStatus();
    WDFFILEOBJECT file = request->GetFileObject();
    auto conn = weak.lock();
    if (!NT_SUCCESS(status)) {
        file->GetDevice()->ReleaseOpen();
        file->Delete();
        if (conn && !conn->dead) {
            conn->file = Connection::File::None;
            conn->fileObject.reset();
        }
    } else if (!conn || conn->dead) {
        CloseFile(file); // opened for a caller that has gone meanwhile
        return;
    } else {
        conn->file = Connection::File::Open;
    }
    if (conn && !conn->dead) SendComplete(conn, id, status, 0, {});
}

void IoManager::HandleIo(const ConnectionPtr& conn, const Message& m, UniqueFd fd) {
    if (conn->file != Connection::File::Open) return Drop(conn, "I/O on a handle that is not open");
    WDFREQUEST request;
    uint64_t id = 0;
    if (auto* r = std::get_if<ReadRecord>(&m.record)) {
        id = r->requestId;
        request = NewRequest(RequestType::Read, conn->fileObject);
        request->params_.Length = r->length;
        request->buffer_.resize(r->length);
    } else if (auto* w = std::get_if<WriteRecord>(&m.record)) {
        id = w->requestId;
        request = NewRequest(RequestType::Write, conn->fileObject);
        request->params_.Length = w->length;
        request->buffer_.assign(m.payload.begin(), m.payload.end());
    } else {
        const auto& c = std::get<DeviceControlRecord>(m.record);
        if (fd && c.handleValue == kNoHandle) return Drop(conn, "descriptor without a handle value");
        id = c.requestId;
        request = NewRequest(RequestType::DeviceIoControl, conn->fileObject);
        request->params_.IoControlCode = c.ioControlCode;
        request->params_.InputBufferLength = c.inputLength;
        request->params_.OutputBufferLength = c.outputLength;
        request->buffer_.assign(std::max<size_t>({c.inputLength, c.outputLength, 1}), 0);
        std::copy(m.payload.begin(), m.payload.end(), request->buffer_.begin());
        request->passedFd_ = std::move(fd);
        request->passedHandle_ = c.handleValue;
    }
    if (conn->outstanding.count(id)) return Drop(conn, "request id already in use");
    if (conn->outstanding.size() >= kMaxOutstandingRequests)
        return Drop(conn, "too many outstanding requests");
    conn->outstanding[id] = request;
    std::weak_ptr<Connection> weak = conn;
    request->onComplete_ = [this, weak, id](const WDFREQUEST& req) { ReportCompletion(weak, id, req); };
    WDFDEVICE device = conn->fileObject->GetDevice();
    if (device->IsDeleted())
        request->Complete(STATUS_DELETE_PENDING);
    else
        device->DispatchIncoming(request);
}

void IoManager::ReportCompletion(const std::weak_ptr<Connection>& weak, uint64_t id,
                                 const WDFREQUEST& request) {
    auto conn = weak.lock();
    if (!conn || conn->dead) return;
    conn->outstanding.erase(id);
    const RequestParameters& p = request->params_;
    size_t information = request->information_;
    size_t data = 0;
    if (p.Type == RequestType::Read)
        data = information = std::min(information, p.Length);
    else if (p.Type == RequestType::Write)
        information = std::min(information, p.Length);
    else
        data = information = std::min(information, p.OutputBufferLength);
    SendComplete(conn, id, request->status_, static_cast<uint32_t>(information),
                 std::span(request->buffer_.data(), data));
}

void IoManager::HandleCancel(const ConnectionPtr& conn, uint64_t id) {
    std::vector<WDFREQUEST> targets;
    for (auto& [rid, weak] : conn->outstanding)
        if (id == 0 || rid == id)
            if (auto r = weak.lock()) targets.push_back(r);
    for (auto& r : targets)
        IoQueue::CancelRequest(r);
}

void IoManager::HandleLookup(const ConnectionPtr& conn, const LookupInterfaceRecord& r) {
    auto path = fw_.names().LookupInterface(r.interfaceClass, r.index);
    if (!path) return SendComplete(conn, r.requestId, STATUS_NO_MORE_ENTRIES, 0, {});
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(path->data()), path->size());
    SendComplete(conn, r.requestId, STATUS_SUCCESS, static_cast<uint32_t>(bytes.size()), bytes);
}

void IoManager::SendComplete(const ConnectionPtr& conn, uint64_t id, NTSTATUS status, uint32_t information,
                             std::span<const uint8_t> data) {
    Send(conn, Encode(CompleteRecord{id, status, information, static_cast<uint32_t>(data.size())}, data));
}

void IoManager::Send(const ConnectionPtr& conn, std::vector<uint8_t> packet) {
    if (conn->dead) return;
    if (conn->unsent.empty()) {
        int rc = SendPacket(conn->sock.get(), packet);
        if (rc == 0) return;
        if (rc != EAGAIN) return Drop(conn, nullptr);
        fw_.loop().ModifyFd(conn->sock.get(), EPOLLIN | EPOLLOUT);
    }
    conn->unsentBytes += packet.size();
    conn->unsent.push_back(std::move(packet));
    if (conn->unsentBytes > kMaxUnsentBytes) Drop(conn, "client does not read its completions");
}

void IoManager::Flush(const ConnectionPtr& conn) {
    while (!conn->dead && !conn->unsent.empty()) {
        int rc = SendPacket(conn->sock.get(), conn->unsent.front());
        if (rc == EAGAIN) return;
        if (rc != 0) return Drop(conn, nullptr);
        conn->unsentBytes -= conn->unsent.front().size();
        conn->unsent.pop_front();
    }
    if (!conn->dead) fw_.loop().ModifyFd(conn->sock.get(), EPOLLIN);
}

void IoManager::Drop(const ConnectionPtr& conn, const char* why) {
    if (conn->dead) return;
    conn->dead = true;
    if (why)
        FrameworkTrace(TraceLevel::Error, "client pid %d: %s; connection closed", static_cast<int>(conn->pid),
                       why);
    int fd = conn->sock.get();
    fw_.loop().RemoveFd(fd);
    if (auto it = connectionsPerUser_.find(conn->uid); it != connectionsPerUser_.end() && --it->second == 0)
        connectionsPerUser_.erase(it);
    // As when a process ends: its requests are cancelled, then its handle is cleaned up and closed.
    std::vector<WDFREQUEST> pending;
    for (auto& [id, weak] : conn->outstanding)
        if (auto r = weak.lock()) pending.push_back(r);
    conn->outstanding.clear();
    for (auto& r : pending)
        IoQueue::CancelRequest(r);
    if (conn->file == Connection::File::Open) CloseFile(conn->fileObject);
    conn->fileObject.reset();
    conn->unsent.clear();
    connections_.erase(fd);
    conn->sock.reset();
}

void IoManager::CloseFile(const WDFFILEOBJECT& file) {
    WDFDEVICE device = file->GetDevice();
    if (!device->IsDeleted()) {
        auto keep = device->KeepAlive();
        if (const auto& cleanup = device->fileConfig().EvtFileCleanup) cleanup(file);
        if (const auto& close = device->fileConfig().EvtFileClose) close(file);
    }
    device->ReleaseOpen();
    file->Delete();
}

} // namespace zelhart::drvfw

#include "server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace zelhart::hartip::server {

namespace {

enum WatchKind : std::uint64_t { kTcpListener = 1, kUdpSocket = 2, kConnection = 3, kLine = 4, kSignal = 5 };
constexpr std::uint64_t Key(WatchKind kind, std::uint64_t value) { return (std::uint64_t(kind) << 56) | value; }

constexpr std::size_t kReadChunk = 4096;

void Log(const std::string& text) {
    std::fprintf(stderr, "zelhart-hartipd: %s\n", text.c_str());
}

std::string AddressText(const sockaddr_storage& addr) {
    char host[INET6_ADDRSTRLEN] = "?";
    std::uint16_t port = 0;
    if (addr.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
    port = ntohs(in6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

bool SameAddress(const sockaddr_storage& a, socklen_t alen, const sockaddr_storage& b, socklen_t blen) {
    return alen == blen && std::memcmp(&a, &b, alen) == 0;
}

// The bind address as a socket address with `port`; false when it is not an IPv4 or IPv6 literal.
bool ParseAddress(const std::string& text, std::uint16_t port, sockaddr_storage& out, socklen_t& len, bool& loopback) {
    std::memset(&out, 0, sizeof(out));
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    if (::inet_pton(AF_INET, text.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        len = sizeof(sockaddr_in);
        loopback = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
        return true;
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (::inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
        loopback = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
        return true;
    }
    return false;
}

std::string TlsErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "the connection ended";
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

unsigned int PskServerCallback(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxLength) {
    const auto* server = static_cast<const Server*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!server || !identity) return 0;
    const PskEntry* entry = server->FindKey(identity);
    if (!entry || entry->key.size() > maxLength) return 0;
    // The peer's identity for the log: under TLS 1.3 SSL_get_psk_identity does not give it.
    if (auto* named = static_cast<std::string*>(SSL_get_app_data(ssl))) *named = identity;
    std::memcpy(psk, entry->key.data(), entry->key.size());
    return static_cast<unsigned int>(entry->key.size());
}

} // namespace

struct Server::Peer {
    std::uint64_t id = 0;
    std::size_t endpoint = 0;
    bool udp = false;
    int fd = -1; // the connection (TCP, owned) or the UDP socket (not owned)
    sockaddr_storage addr{};
    socklen_t addrLen = 0;
    std::string name;
    std::unique_ptr<Session> session;
    StreamReassembler stream;
    SSL* ssl = nullptr;
    enum class Tls { None, Handshaking, Up } tls = Tls::None;
    std::uint64_t handshakeDeadline = 0;
    std::string identity;
    bool logged = false;
};

struct Server::PortEndpoint final : Endpoint {
    PortEndpoint(Server& server, InterfaceLibrary& library, std::size_t index, const PortMapping& mapping)
        : server(server), index(index), mapping(mapping), line(library, mapping.com) {}

    bool ClaimPrimary(const Session& session) override {
        if (primary && primary != &session) return false;
        primary = &session;
        return true;
    }
    void ReleasePrimary(const Session& session) override {
        if (primary == &session) primary = nullptr;
    }
    bool PlainSessionOpen(const Session& except) const override {
        for (const auto& [id, peer] : server.peers_)
            if (peer->endpoint == index && peer->session.get() != &except && peer->session->established() &&
                !peer->session->ended() && peer->session->version() == static_cast<std::uint8_t>(Version::Plain))
                return true;
        return false;
    }
    bool SessionAvailable() const override { return Established() < server.options_.maxSessions; }
    std::size_t Established() const {
        std::size_t n = 0;
        for (const auto& [id, peer] : server.peers_)
            if (peer->endpoint == index && peer->session->counted()) ++n;
        return n;
    }
    std::size_t Peers() const {
        std::size_t n = 0;
        for (const auto& [id, peer] : server.peers_)
            if (peer->endpoint == index) ++n;
        return n;
    }
    std::string Name() const { return "COM" + std::to_string(mapping.com); }

    Server& server;
    std::size_t index;
    PortMapping mapping;
    HartLine line;
    const Session* primary = nullptr;
    struct Pending {
        std::uint64_t peer;
        std::uint16_t tag;
        std::uint64_t deadline;
    };
    std::optional<Pending> pending;
};

Server::Server() = default;

Server::~Server() {
    for (auto& [id, peer] : peers_) {
        if (peer->ssl) SSL_free(peer->ssl);
        if (!peer->udp && peer->fd >= 0) ::close(peer->fd);
    }
    peers_.clear();
    endpoints_.clear(); // closes the lines
    for (const Listener& l : listeners_) ::close(l.fd);
    if (tls_) SSL_CTX_free(tls_);
    if (epoll_ >= 0) ::close(epoll_);
    if (signals_ >= 0) ::close(signals_);
}

const PskEntry* Server::FindKey(std::string_view identity) const {
    for (const PskEntry& entry : keys_)
        if (entry.identity == identity) return &entry;
    return nullptr;
}

std::uint64_t Server::NowMs() const {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000 + std::uint64_t(ts.tv_nsec) / 1000000;
}

void Server::Watch(int fd, std::uint64_t key) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
}

void Server::Unwatch(int fd) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

bool Server::Start(const Options& options, std::vector<PskEntry> keys, std::string& error) {
    options_ = options;
    keys_ = std::move(keys);
    const bool defaults = options_.binds.empty();
    if (defaults) options_.binds = {"127.0.0.1", "::1"};
    for (const std::string& address : options_.binds) {
        sockaddr_storage addr;
        socklen_t len;
        bool loopback = false;
        if (!ParseAddress(address, 0, addr, len, loopback)) {
            error = "--bind " + address + ": not an IPv4 or IPv6 address";
            return false;
        }
        if (!loopback && keys_.empty() && !options_.allowPlain) {
            error = "--bind " + address + " is not a loopback address: give --psk-file for secured sessions, "
                    "or --allow-plain to serve plain sessions there";
            return false;
        }
        if (!loopback && options_.allowPlain)
            Log("plain sessions are allowed on " + address + " (--allow-plain): anyone who reaches it may use the ports");
        if (!loopback)
            Log("UDP is not served on " + address + ": UDP stays on loopback addresses (no DTLS)");
    }
    // Blocked before the library starts its threads, which inherit the mask: the signals reach the
    // signalfd, not a thread of the library.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (!library_.Load(error)) return false;
    if (!keys_.empty()) {
        tls_ = SSL_CTX_new(TLS_server_method());
        if (!tls_ || SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION) != 1 ||
            SSL_CTX_set_cipher_list(tls_, "PSK-AES128-GCM-SHA256:PSK-AES256-GCM-SHA384:PSK-AES128-CCM:"
                                            "PSK-AES128-CBC-SHA256:PSK-CHACHA20-POLY1305") != 1) {
            error = "TLS: " + TlsErrorText();
            return false;
        }
        SSL_CTX_set_options(tls_, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
        SSL_CTX_set_app_data(tls_, this);
        SSL_CTX_set_psk_server_callback(tls_, PskServerCallback);
    }
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    signals_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    ::signal(SIGPIPE, SIG_IGN);
    if (epoll_ < 0 || signals_ < 0) {
        error = std::string("epoll/signalfd: ") + std::strerror(errno);
        return false;
    }
    Watch(signals_, Key(kSignal, 0));
    // Without IPv6 the default ::1 is left out; an address given by the administrator must be bound.
    if (defaults) {
        const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) options_.binds.pop_back();
        else ::close(probe);
    }
    for (const PortMapping& mapping : options_.ports) {
        endpoints_.push_back(std::make_unique<PortEndpoint>(*this, library_, endpoints_.size(), mapping));
        if (!BindEndpoint(endpoints_.size() - 1, error)) return false;
    }
    return true;
}

bool Server::BindEndpoint(std::size_t index, std::string& error) {
    PortEndpoint& endpoint = *endpoints_[index];
    const bool choose = endpoint.mapping.port == 0;
    for (int attempt = 0; attempt < (choose ? 32 : 1); ++attempt) {
        std::vector<Listener> made;
        std::uint16_t port = endpoint.mapping.port;
        std::string failure;
        for (const std::string& address : options_.binds) {
            for (bool udp : {false, true}) {
                sockaddr_storage addr;
                socklen_t len;
                bool loopback = false;
                ParseAddress(address, port, addr, len, loopback);
                if (udp && !loopback) continue;
                const int fd = ::socket(addr.ss_family, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (fd < 0) {
                    failure = address + ": socket: " + std::strerror(errno);
                    break;
                }
                const int one = 1;
                if (!udp) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
                if (addr.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
                if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || (!udp && ::listen(fd, 16) != 0)) {
                    failure = address + " port " + std::to_string(port) + (udp ? " (UDP): " : " (TCP): ") +
                              std::strerror(errno);
                    ::close(fd);
                    break;
                }
                if (port == 0) {
                    sockaddr_storage bound{};
                    socklen_t boundLen = sizeof(bound);
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
                    port = bound.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port)
                                                      : ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
                }
                made.push_back({fd, udp, loopback, index, address});
            }
            if (!failure.empty()) break;
        }
        if (failure.empty()) {
            endpoint.mapping.port = port;
            for (const Listener& l : made) {
                listeners_.push_back(l);
                Watch(l.fd, Key(l.udp ? kUdpSocket : kTcpListener, listeners_.size() - 1));
            }
            return true;
        }
        for (const Listener& l : made) ::close(l.fd);
        error = endpoint.Name() + ": " + failure;
    }
    return false;
}

std::string Server::PortsText() const {
    std::string text;
    for (const auto& endpoint : endpoints_)
        text += (text.empty() ? "" : " ") + endpoint->Name() + "=" + std::to_string(endpoint->mapping.port);
    return text;
}

int Server::Run() {
    Log("serving " + PortsText() + (tls_ ? " (TLS-PSK keys: " + std::to_string(keys_.size()) + ")" : ""));
    epoll_event events[32];
    while (!stopping_) {
        const int n = ::epoll_wait(epoll_, events, 32, NextTimeoutMs());
        if (n < 0 && errno != EINTR) {
            Log(std::string("epoll_wait: ") + std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[i].data.u64;
            const auto kind = static_cast<WatchKind>(key >> 56);
            const std::uint64_t value = key & ((std::uint64_t(1) << 56) - 1);
            switch (kind) {
            case kTcpListener: Accept(listeners_[value]); break;
            case kUdpSocket: OnUdp(listeners_[value]); break;
            case kConnection: OnConnection(value); break;
            case kLine: OnLine(value); break;
            case kSignal: stopping_ = true; break;
            }
        }
        CheckTimers();
    }
    std::vector<std::uint64_t> ids;
    for (const auto& [id, peer] : peers_) ids.push_back(id);
    for (std::uint64_t id : ids) ClosePeer(id, "the server stops");
    Log("stopped");
    return 0;
}

void Server::Accept(Listener& listener) {
    for (;;) {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        PortEndpoint& endpoint = *endpoints_[listener.endpoint];
        // Connections without a session count too: at most twice the session limit per endpoint.
        if (endpoint.Peers() >= 2 * options_.maxSessions) {
            Log(endpoint.Name() + ": connection from " + AddressText(addr) + " refused: too many connections");
            ::close(fd);
            continue;
        }
        // A reply is one write and goes out at once, never held back for the peer's acknowledgement of
        // an earlier one (the client sets the same on its side).
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        SessionPolicy policy;
        policy.transportSecurable = tls_ != nullptr;
        policy.plainAllowed = listener.loopback || options_.allowPlain;
        auto peer = std::make_unique<Peer>();
        peer->id = nextPeerId_++;
        peer->endpoint = listener.endpoint;
        peer->fd = fd;
        peer->addr = addr;
        peer->addrLen = len;
        peer->name = AddressText(addr) + " over TCP";
        peer->session = std::make_unique<Session>(policy, NowMs(), options_.firstMessageMs);
        Watch(fd, Key(kConnection, peer->id));
        peers_.emplace(peer->id, std::move(peer));
    }
}

void Server::OnUdp(Listener& listener) {
    std::uint8_t buffer[kMaxMessageSize + 1];
    for (int budget = 0; budget < 64; ++budget) {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        const ssize_t n = ::recvfrom(listener.fd, buffer, sizeof(buffer), MSG_TRUNC, reinterpret_cast<sockaddr*>(&addr), &len);
        if (n < 0) return;
        Peer* peer = nullptr;
        for (auto& [id, p] : peers_)
            if (p->udp && p->fd == listener.fd && SameAddress(p->addr, p->addrLen, addr, len)) peer = p.get();
        std::unique_ptr<Peer> fresh;
        if (!peer) {
            SessionPolicy policy; // plain only: UDP is served on loopback addresses only
            fresh = std::make_unique<Peer>();
            fresh->id = nextPeerId_++;
            fresh->endpoint = listener.endpoint;
            fresh->udp = true;
            fresh->fd = listener.fd;
            fresh->addr = addr;
            fresh->addrLen = len;
            fresh->name = AddressText(addr) + " over UDP";
            fresh->session = std::make_unique<Session>(policy, NowMs(), options_.firstMessageMs);
            peer = fresh.get();
            peers_.emplace(fresh->id, std::move(fresh)); // kept only when a session begins
        }
        const std::uint64_t id = peer->id;
        // A datagram longer than the buffer is seen by its length (MSG_TRUNC): the header still tells.
        const std::size_t size = static_cast<std::size_t>(n);
        if (size > sizeof(buffer)) {
            std::vector<std::uint8_t> tooLong(buffer, buffer + sizeof(buffer));
            Handle(*peer, tooLong);
        } else {
            Handle(*peer, std::span<const std::uint8_t>(buffer, size));
        }
        auto it = peers_.find(id);
        if (it != peers_.end() && !it->second->session->established()) peers_.erase(it);
    }
}

void Server::OnConnection(std::uint64_t id) {
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    Peer& peer = *it->second;
    if (peer.tls == Peer::Tls::Handshaking) {
        ContinueHandshake(peer);
        return;
    }
    std::uint8_t buffer[kReadChunk];
    for (int budget = 0; budget < 16; ++budget) {
        ssize_t n;
        if (peer.tls == Peer::Tls::Up) {
            const int r = SSL_read(peer.ssl, buffer, sizeof(buffer));
            if (r <= 0) {
                const int code = SSL_get_error(peer.ssl, r);
                if (code == SSL_ERROR_WANT_READ) return;
                ClosePeer(id, code == SSL_ERROR_ZERO_RETURN ? "closed by the peer" : "TLS: " + TlsErrorText());
                return;
            }
            n = r;
        } else {
            n = ::recv(peer.fd, buffer, sizeof(buffer), 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n <= 0) {
                ClosePeer(id, n == 0 ? "closed by the peer" : std::string("recv: ") + std::strerror(errno));
                return;
            }
        }
        const Peer::Tls before = peer.tls;
        Feed(peer, buffer, static_cast<std::size_t>(n));
        if (peers_.find(id) == peers_.end() || peer.tls != before) return;
        // Bytes TLS has already taken from the socket would wake no one: read them now.
        if (budget == 15 && peer.tls == Peer::Tls::Up && SSL_pending(peer.ssl) > 0) --budget;
    }
}

void Server::Feed(Peer& peer, const std::uint8_t* data, std::size_t size) {
    const std::uint64_t id = peer.id;
    std::size_t at = 0;
    while (at < size || peer.stream.pending() > 0) {
        at += peer.stream.Feed(std::span<const std::uint8_t>(data + at, size - at));
        bool took = false;
        while (auto message = peer.stream.Next()) {
            took = true;
            Handle(peer, *message);
            if (peers_.find(id) == peers_.end()) return;
            if (peer.tls == Peer::Tls::Handshaking) {
                // Nothing may follow the initiate in the clear: the peer waits for its answer.
                if (at < size || peer.stream.pending() > 0)
                    ClosePeer(id, "plain bytes where the TLS handshake should begin");
                else
                    ContinueHandshake(peer);
                return;
            }
        }
        if (peer.stream.broken()) {
            Header header = peer.stream.brokenHeader();
            header.version = peer.session->established() ? peer.session->version() : header.version;
            header.type = static_cast<std::uint8_t>(MessageType::Nak);
            header.status = peer.stream.error() == DecodeError::TooLarge ? status::kTooLarge : status::kTooFewDataBytes;
            Send(peer, Encode(header, {}));
            ClosePeer(id, std::string("stream broken: ") + std::string(DecodeErrorName(peer.stream.error())));
            return;
        }
        if (!took && at >= size) return;
    }
}

void Server::Handle(Peer& peer, std::span<const std::uint8_t> message) {
    PortEndpoint& endpoint = *endpoints_[peer.endpoint];
    const std::uint64_t id = peer.id;
    const bool was = peer.session->established();
    Session::Step step = peer.session->OnMessage(message, NowMs(), endpoint);
    if (!was && peer.session->established() && !step.startTls) LogSessionStart(peer);
    if (!step.reply.empty() && !Send(peer, step.reply)) return;
    if (step.forward) StartExchange(peer, std::move(step.frame));
    if (peers_.find(id) == peers_.end()) return;
    if (step.close) {
        ClosePeer(id, peer.session->ended() ? "session closed" : "refused");
        return;
    }
    if (step.startTls) BeginTls(peer);
}

void Server::LogSessionStart(const Peer& peer) {
    const PortEndpoint& endpoint = *endpoints_[peer.endpoint];
    const Session& s = *peer.session;
    Log(endpoint.Name() + " session start: " + peer.name + ", version " + std::to_string(s.version()) + ", " +
        (s.secured() ? "secured (identity " + peer.identity + ")" : std::string("plain")) + ", " +
        (s.primary() ? "primary" : "secondary") + " master, inactivity " + std::to_string(s.inactivityMs()) + " ms");
}

void Server::BeginTls(Peer& peer) {
    peer.ssl = SSL_new(tls_);
    if (!peer.ssl || SSL_set_fd(peer.ssl, peer.fd) != 1 || SSL_set_app_data(peer.ssl, &peer.identity) != 1) {
        ClosePeer(peer.id, "TLS: " + TlsErrorText());
        return;
    }
    peer.tls = Peer::Tls::Handshaking;
    peer.handshakeDeadline = NowMs() + options_.firstMessageMs;
}

void Server::ContinueHandshake(Peer& peer) {
    const int r = SSL_accept(peer.ssl);
    if (r == 1) {
        peer.tls = Peer::Tls::Up;
        PortEndpoint& endpoint = *endpoints_[peer.endpoint];
        if (!endpoint.SessionAvailable()) {
            ClosePeer(peer.id, "all sessions in use once secured");
            return;
        }
        if (!peer.session->SetSecured(endpoint)) {
            ClosePeer(peer.id, "another primary master holds the port");
            return;
        }
        LogSessionStart(peer);
        return;
    }
    const int code = SSL_get_error(peer.ssl, r);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return;
    ClosePeer(peer.id, "TLS handshake failed: " + TlsErrorText());
}

bool Server::Send(Peer& peer, std::span<const std::uint8_t> bytes) {
    if (peer.udp) {
        ::sendto(peer.fd, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&peer.addr),
                 peer.addrLen);
        return true;
    }
    if (peer.tls == Peer::Tls::Up) {
        if (SSL_write(peer.ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size()))
            return true;
        ClosePeer(peer.id, "TLS write failed: " + TlsErrorText());
        return false;
    }
    // Replies are small; a peer that does not take them is dropped rather than buffered for.
    if (::send(peer.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(bytes.size()))
        return true;
    ClosePeer(peer.id, "the peer does not take its replies");
    return false;
}

void Server::StartExchange(Peer& peer, std::vector<std::uint8_t> frame) {
    PortEndpoint& endpoint = *endpoints_[peer.endpoint];
    auto answer = [&](LineOutcome outcome) {
        const auto reply = peer.session->LineAnswer(outcome, {});
        if (!reply.empty()) Send(peer, reply);
    };
    if (endpoint.pending) {
        answer(LineOutcome::Busy);
        return;
    }
    if (!endpoint.line.isOpen()) {
        std::string error;
        if (!endpoint.line.Open(error)) {
            Log(endpoint.Name() + ": " + error);
            answer(LineOutcome::PortUnavailable);
            return;
        }
        Watch(endpoint.line.notifyFd(), Key(kLine, endpoint.index));
    }
    if (!endpoint.line.Configure(peer.session->primary() ? 1 : 0)) {
        answer(LineOutcome::PortUnavailable);
        return;
    }
    // Records still waiting belong to earlier exchanges.
    HartMessage stale{};
    for (int i = 0; i < 16 && endpoint.line.Read(stale); ++i) {
    }
    if (++nextTag_ == 0) ++nextTag_;
    if (!endpoint.line.Write(frame, nextTag_)) {
        answer(LineOutcome::PortUnavailable);
        return;
    }
    endpoint.pending = PortEndpoint::Pending{peer.id, nextTag_, NowMs() + kExchangeTimeoutMs};
}

void Server::OnLine(std::size_t index) {
    PortEndpoint& endpoint = *endpoints_[index];
    HartMessage record{};
    while (endpoint.line.Read(record)) {
        if (!endpoint.pending || record.RequestTag != endpoint.pending->tag) continue;
        if (record.Length > 0) {
            // Only this master's slave reply answers; burst frames and the other master's traffic do not.
            if ((record.Status & 0x80) != 0 || (record.Status & 0x07) != HART_STATUS_SLAVE_REPLY) continue;
            const std::size_t length = std::min<std::size_t>(record.Length, HART_MESSAGE_DATA_SIZE);
            FinishExchange(endpoint, LineOutcome::Answered, std::span<const std::uint8_t>(record.Data, length));
        } else if (record.Error == HART_ERROR_WRITE) {
            // The driver fails the write when the device stays silent through its retries (and when
            // the port went away): either way the line gave no answer.
            FinishExchange(endpoint, LineOutcome::NoResponse, {});
        }
        // A failed read (HART_ERROR_READ) is not about the request: a change of the master type
        // restarts the library's read, and that record carries the tag of the last request written.
        // The answer may still come; if not, the exchange's time runs out.
        // An all-zero record says the device is back: not an answer.
    }
    ReleaseLineIfIdle(endpoint);
}

void Server::FinishExchange(PortEndpoint& endpoint, LineOutcome outcome, std::span<const std::uint8_t> frame) {
    const std::uint64_t id = endpoint.pending->peer;
    endpoint.pending.reset();
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    const auto reply = it->second->session->LineAnswer(outcome, frame);
    if (!reply.empty()) Send(*it->second, reply);
}

void Server::ReleaseLineIfIdle(PortEndpoint& endpoint) {
    if (!endpoint.line.isOpen() || endpoint.pending || endpoint.Established() > 0) return;
    Unwatch(endpoint.line.notifyFd());
    endpoint.line.Close();
}

void Server::ClosePeer(std::uint64_t id, const std::string& why) {
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    Peer& peer = *it->second;
    PortEndpoint& endpoint = *endpoints_[peer.endpoint];
    const Session& s = *peer.session;
    if (s.established())
        Log(endpoint.Name() + " session end: " + peer.name + ", version " + std::to_string(s.version()) + ", " +
            (s.secured() ? "secured" : "plain") + ", " + std::to_string(s.messages()) + " messages, " +
            std::to_string(s.writes()) + " writes (" + why + ")");
    else if (!peer.udp)
        Log(endpoint.Name() + " connection from " + peer.name + " closed without a session (" + why + ")");
    peer.session->End(endpoint);
    if (!peer.udp) {
        Unwatch(peer.fd);
        if (peer.ssl) SSL_free(peer.ssl);
        ::close(peer.fd);
    }
    peers_.erase(it);
    ReleaseLineIfIdle(endpoint);
}

void Server::CheckTimers() {
    const std::uint64_t now = NowMs();
    for (auto& endpoint : endpoints_)
        if (endpoint->pending && now >= endpoint->pending->deadline) {
            FinishExchange(*endpoint, LineOutcome::NoResponse, {});
            ReleaseLineIfIdle(*endpoint);
        }
    std::vector<std::pair<std::uint64_t, std::string>> expired;
    for (const auto& [id, peer] : peers_) {
        if (peer->tls == Peer::Tls::Handshaking && now >= peer->handshakeDeadline)
            expired.emplace_back(id, "TLS handshake not completed in time");
        else if (peer->session->established() && now >= peer->session->deadline())
            expired.emplace_back(id, "inactivity time passed");
        else if (!peer->session->established() && now >= peer->session->deadline())
            expired.emplace_back(id, "no session initiate in time");
    }
    for (const auto& [id, why] : expired) ClosePeer(id, why);
}

int Server::NextTimeoutMs() const {
    std::uint64_t next = UINT64_MAX;
    for (const auto& endpoint : endpoints_)
        if (endpoint->pending) next = std::min(next, endpoint->pending->deadline);
    for (const auto& [id, peer] : peers_) {
        next = std::min(next, peer->session->deadline());
        if (peer->tls == Peer::Tls::Handshaking) next = std::min(next, peer->handshakeDeadline);
    }
    if (next == UINT64_MAX) return -1;
    const std::uint64_t now = NowMs();
    return next <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(next - now, 60000));
}

} // namespace zelhart::hartip::server

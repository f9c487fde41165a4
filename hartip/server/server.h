// zelhart-hartipd's event loop: one thread, one epoll set over the listening sockets, the connections,
// the lines' notification pipes and a signalfd. Nothing blocks: a TLS handshake advances as its bytes
// come, an exchange on the line is answered when its record is announced or its time is up.
#pragma once

#include "hart_line.h"
#include "options.h"
#include "session.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace zelhart::hartip::server {

// How long the line has for one exchange (the driver's retries included).
inline constexpr std::uint32_t kExchangeTimeoutMs = 5000;

class Server {
public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Loads the interface library, binds every endpoint's sockets; false with `error` when it cannot.
    bool Start(const Options& options, std::vector<PskEntry> keys, std::string& error);
    // "COM1=5094 COM2=5095": the ports as bound.
    std::string PortsText() const;
    // Serves until SIGTERM or SIGINT; the exit status.
    int Run();

    // Used by the TLS key callback.
    const PskEntry* FindKey(std::string_view identity) const;

private:
    struct Listener {
        int fd = -1;
        bool udp = false;
        bool loopback = false;
        std::size_t endpoint = 0;
        std::string address;
    };
    struct Peer;
    struct PortEndpoint;

    bool BindEndpoint(std::size_t index, std::string& error);
    void Watch(int fd, std::uint64_t key);
    void Unwatch(int fd);
    std::uint64_t NowMs() const;

    void Accept(Listener& listener);
    void OnUdp(Listener& listener);
    void OnConnection(std::uint64_t id);
    void OnLine(std::size_t endpoint);
    void Feed(Peer& peer, const std::uint8_t* data, std::size_t size);
    void Handle(Peer& peer, std::span<const std::uint8_t> message);
    void StartExchange(Peer& peer, std::vector<std::uint8_t> frame);
    void FinishExchange(PortEndpoint& endpoint, LineOutcome outcome, std::span<const std::uint8_t> frame);
    void BeginTls(Peer& peer);
    void ContinueHandshake(Peer& peer);
    bool Send(Peer& peer, std::span<const std::uint8_t> bytes);
    void ClosePeer(std::uint64_t id, const std::string& why);
    void ReleaseLineIfIdle(PortEndpoint& endpoint);
    void CheckTimers();
    int NextTimeoutMs() const;
    void LogSessionStart(const Peer& peer);

    Options options_;
    std::vector<PskEntry> keys_;
    InterfaceLibrary library_;
    SSL_CTX* tls_ = nullptr;
    int epoll_ = -1;
    int signals_ = -1;
    std::vector<std::unique_ptr<PortEndpoint>> endpoints_;
    std::vector<Listener> listeners_;
    std::map<std::uint64_t, std::unique_ptr<Peer>> peers_;
    std::uint64_t nextPeerId_ = 1;
    std::uint16_t nextTag_ = 0;
    bool stopping_ = false;
};

} // namespace zelhart::hartip::server

// A small HART-IP server for the client's tests, on loopback, in a thread of the test process: UDP and
// TCP on one port number, plain sessions. A token-passing PDU is answered by the handler (by default the
// simulator's transmitter model, so the answers are a Korvel-4810's); the test can make the next
// answers carry an error status, drop every connection, or stop serving altogether. With a key, a
// session initiate of version 2 on TCP is answered in the clear and followed by a TLS-PSK handshake
// (OpenSSL's server side, TLS 1.2 or newer), after which the connection speaks only TLS.
#pragma once

#include "zelhart/hartip/message.h"
#include "zelhart/sim/korvel_device.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <cstring>
#include <thread>
#include <vector>

namespace zelhart::hartif::testing {

namespace hip = hartip;

class FakeHartIpServer {
public:
    struct Answer {
        uint8_t status = hip::status::kSuccess;
        std::vector<uint8_t> body;
    };
    using Handler = std::function<Answer(const std::vector<uint8_t>& frame)>;

    struct Psk {
        std::string identity;
        std::vector<uint8_t> key;
    };
    // port 0: any free port.
    explicit FakeHartIpServer(uint16_t port = 0, std::optional<Psk> psk = std::nullopt) : psk_(std::move(psk)) {
        handler_ = [this](const std::vector<uint8_t>& frame) {
            sim::Frame request;
            Answer a;
            if (!request.Assign(frame)) return Answer{hip::status::kInvalidFrame, {}};
            auto reply = device_.Handle(request, std::chrono::seconds(1));
            if (!reply) return Answer{hip::status::kNoResponse, {}};
            a.body.assign(reply->bytes().begin(), reply->bytes().end());
            return a;
        };
        Listen(port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeHartIpServer() { Stop(); }

    uint16_t port() const { return port_; }
    // The next answers carry these statuses (and no body) instead of the handler's.
    void QueueStatuses(std::vector<uint8_t> statuses) {
        std::lock_guard lock(m_);
        for (uint8_t s : statuses) statuses_.push_back(s);
    }
    // Every TCP connection is closed and every UDP session forgotten.
    void DropSessions() { drop_ = true; }
    // Ends serving: the sockets close.
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : {udp_, listen_})
            if (fd >= 0) ::close(fd);
        udp_ = listen_ = -1;
    }
    // Master types of the sessions initiated so far, in order.
    std::vector<uint8_t> SessionMasterTypes() const {
        std::lock_guard lock(m_);
        return masterTypes_;
    }
    // The PDU bodies received so far.
    std::vector<std::vector<uint8_t>> Frames() const {
        std::lock_guard lock(m_);
        return frames_;
    }
    size_t SessionCloses() const { return closes_.load(); }
    size_t Handshakes() const { return handshakes_.load(); }

private:
    struct Peer {
        hip::StreamReassembler stream;
        bool session = false;
        bool secure = false; // TLS follows the answer to the session initiate
        SSL* ssl = nullptr;
    };

    static unsigned ServerPsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned maxPsk) {
        auto* self = static_cast<FakeHartIpServer*>(SSL_get_app_data(ssl));
        if (!self || !identity || self->psk_->identity != identity || self->psk_->key.size() > maxPsk) return 0;
        std::memcpy(psk, self->psk_->key.data(), self->psk_->key.size());
        return unsigned(self->psk_->key.size());
    }

    // The TLS handshake on a connection whose session initiate asked for version 2 (blocking: the client
    // begins it at once).
    bool Accept(int fd, Peer& peer) {
        if (!ctx_) {
            ctx_ = ::SSL_CTX_new(::TLS_server_method());
            ::SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
            ::SSL_CTX_set_cipher_list(ctx_, "PSK");
            ::SSL_CTX_set_psk_server_callback(ctx_, &ServerPsk);
        }
        peer.ssl = ::SSL_new(ctx_);
        SSL_set_app_data(peer.ssl, this);
        ::SSL_set_fd(peer.ssl, fd);
        const bool ok = ::SSL_accept(peer.ssl) == 1;
        ::ERR_clear_error();
        if (ok) ++handshakes_;
        return ok;
    }
    static void Drop(int fd, Peer& peer) {
        if (peer.ssl) ::SSL_free(peer.ssl);
        ::close(fd);
    }

    void Listen(uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(listen_, 8) != 0) std::abort();
        socklen_t length = sizeof(a);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (::bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) std::abort();
    }

    // The answer to one request, or nothing (a request the server does not answer).
    std::optional<std::vector<uint8_t>> Respond(const std::vector<uint8_t>& bytes, Peer& peer) {
        hip::Message m;
        if (hip::Decode(bytes, m) != hip::DecodeError::None) return std::nullopt;
        hip::Header h = m.header;
        h.type = uint8_t(hip::MessageType::Response);
        std::vector<uint8_t> body;
        switch (hip::MessageId(m.header.id)) {
        case hip::MessageId::SessionInitiate: {
            auto request = hip::DecodeSessionInitiate(m.body);
            if (!request) return std::nullopt;
            {
                std::lock_guard lock(m_);
                masterTypes_.push_back(request->masterType);
            }
            peer.session = true;
            peer.secure = m.header.version == 2 && psk_.has_value();
            if (m.header.version == 2 && !psk_) h.status = hip::status::kSecurityNotInitialised;
            auto encoded = hip::EncodeSessionInitiate(*request);
            body.assign(encoded.begin(), encoded.end());
            break;
        }
        case hip::MessageId::SessionClose:
            ++closes_;
            peer.session = false;
            break;
        case hip::MessageId::KeepAlive:
            break;
        case hip::MessageId::TokenPassingPdu: {
            if (!peer.session) {
                h.type = uint8_t(hip::MessageType::Error);
                h.status = hip::status::kNoSession;
                break;
            }
            Answer a;
            {
                std::lock_guard lock(m_);
                frames_.push_back(m.body);
                if (!statuses_.empty()) {
                    a.status = statuses_.front();
                    statuses_.pop_front();
                }
            }
            if (a.status == hip::status::kSuccess) a = handler_(m.body);
            h.status = a.status;
            body = a.body;
            break;
        }
        default:
            h.type = uint8_t(hip::MessageType::Nak);
            h.status = hip::status::kInvalidSelection;
            break;
        }
        return hip::Encode(h, body);
    }

    void Run() {
        std::map<int, Peer> tcp;
        std::map<std::vector<uint8_t>, Peer> udp; // by the client's address
        while (!stop_) {
            if (drop_.exchange(false)) {
                for (auto& [fd, peer] : tcp) Drop(fd, peer);
                tcp.clear();
                udp.clear();
            }
            std::vector<pollfd> fds{{listen_, POLLIN, 0}, {udp_, POLLIN, 0}};
            for (auto& [fd, peer] : tcp) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) tcp[fd];
            }
            if (fds[1].revents & POLLIN) {
                uint8_t buffer[1024];
                sockaddr_storage from{};
                socklen_t length = sizeof(from);
                ssize_t n = ::recvfrom(udp_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (n > 0) {
                    std::vector<uint8_t> key(reinterpret_cast<uint8_t*>(&from), reinterpret_cast<uint8_t*>(&from) + length);
                    if (auto answer = Respond({buffer, buffer + n}, udp[key]))
                        ::sendto(udp_, answer->data(), answer->size(), 0, reinterpret_cast<sockaddr*>(&from), length);
                }
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const int fd = fds[i].fd;
                uint8_t buffer[1024];
                Peer& peer = tcp[fd];
                ssize_t n = peer.ssl ? ::SSL_read(peer.ssl, buffer, sizeof(buffer)) : ::recv(fd, buffer, sizeof(buffer), 0);
                bool closing = n <= 0;
                if (n > 0) {
                    peer.stream.Feed({buffer, size_t(n)});
                    while (auto message = peer.stream.Next()) {
                        auto answer = Respond(*message, peer);
                        if (!answer) continue;
                        if (peer.ssl) ::SSL_write(peer.ssl, answer->data(), int(answer->size()));
                        else ::send(fd, answer->data(), answer->size(), MSG_NOSIGNAL);
                        if (peer.secure && !peer.ssl && !Accept(fd, peer)) {
                            closing = true;
                            break;
                        }
                    }
                    closing = closing || peer.stream.broken();
                }
                if (closing) {
                    Drop(fd, peer);
                    tcp.erase(fd);
                }
            }
        }
        for (auto& [fd, peer] : tcp) Drop(fd, peer);
        if (ctx_) ::SSL_CTX_free(ctx_);
    }

    std::optional<Psk> psk_;
    SSL_CTX* ctx_ = nullptr;
    std::atomic<size_t> handshakes_{0};
    sim::KorvelDevice device_;
    Handler handler_;
    int listen_ = -1, udp_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false}, drop_{false};
    std::atomic<size_t> closes_{0};
    mutable std::mutex m_;
    std::deque<uint8_t> statuses_;
    std::vector<uint8_t> masterTypes_;
    std::vector<std::vector<uint8_t>> frames_;
    std::thread thread_;
};

} // namespace zelhart::hartif::testing

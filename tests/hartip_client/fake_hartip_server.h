// A small HART-IP server for the client's tests, on loopback, in a thread of the test process: UDP and
// TCP on one port number, plain sessions. A token-passing PDU is answered by the handler (by default the
// simulator's transmitter model, so the answers are a Korvel-4810's); the test can make the next
// answers carry an error status, drop every connection, or stop serving altogether.
#pragma once

#include "zelhart/hartip/message.h"
#include "zelhart/sim/korvel_device.h"

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

    // port 0: any free port.
    explicit FakeHartIpServer(uint16_t port = 0) {
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

private:
    struct Peer {
        hip::StreamReassembler stream;
        bool session = false;
    };

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
                for (auto& [fd, peer] : tcp) ::close(fd);
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
                ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                Peer& peer = tcp[fd];
                bool closing = n <= 0;
                if (n > 0) {
                    peer.stream.Feed({buffer, size_t(n)});
                    while (auto message = peer.stream.Next())
                        if (auto answer = Respond(*message, peer)) ::send(fd, answer->data(), answer->size(), MSG_NOSIGNAL);
                    closing = peer.stream.broken();
                }
                if (closing) {
                    ::close(fd);
                    tcp.erase(fd);
                }
            }
        }
        for (auto& [fd, peer] : tcp) ::close(fd);
    }

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

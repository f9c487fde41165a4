#include "hartip_connection.h"

#include "trace.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zelhart::hartif {
namespace {

namespace hip = hartip;

// TLS 1.2 pre-shared-key suites without certificates, strongest first; TLS 1.3 uses its own with the
// same key.
constexpr const char* kPskCiphers =
    "PSK-AES256-GCM-SHA384:PSK-AES128-GCM-SHA256:PSK-AES128-CCM:PSK-AES128-CBC-SHA256:PSK-CHACHA20-POLY1305";

int RemainingMs(HartIpConnection::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - HartIpConnection::Clock::now());
    return int(std::clamp<int64_t>(left.count(), 0, 60000));
}

std::string SslErrorText() {
    const unsigned long e = ::ERR_get_error();
    ::ERR_clear_error();
    if (e == 0) return "no further detail";
    char text[256];
    ::ERR_error_string_n(e, text, sizeof(text));
    return text;
}

} // namespace

struct HartIpConnection::Tls {
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::string identity;
    std::vector<uint8_t> key;
    ~Tls() {
        if (ssl) ::SSL_free(ssl);
        if (ctx) ::SSL_CTX_free(ctx);
        std::fill(key.begin(), key.end(), uint8_t(0));
    }

    static unsigned PskCallback(SSL* ssl, const char*, char* identity, unsigned maxIdentity, unsigned char* psk,
                                unsigned maxPsk) {
        auto* self = static_cast<Tls*>(SSL_get_app_data(ssl));
        if (!self || self->identity.size() + 1 > maxIdentity || self->key.size() > maxPsk) return 0;
        std::memcpy(identity, self->identity.c_str(), self->identity.size() + 1);
        std::memcpy(psk, self->key.data(), self->key.size());
        return unsigned(self->key.size());
    }
};

HartIpConnection::~HartIpConnection() {
    tls_.reset();
    if (fd_ >= 0) ::close(fd_);
}

Win32Error HartIpConnection::Open(const platform::RemoteEndpoint& endpoint, uint8_t masterType,
                                  const HartIpTimings& timings, std::unique_ptr<HartIpConnection>* out,
                                  std::string* why) {
    out->reset();
    std::unique_ptr<HartIpConnection> c(new HartIpConnection());
    const auto deadline = Clock::now() + std::chrono::milliseconds(timings.openMs);
    c->stream_ = endpoint.transport == platform::RemoteEndpoint::Transport::Tcp;
    c->version_ = endpoint.Secured() ? uint8_t(hip::Version::Secured) : uint8_t(hip::Version::Plain);
    if (endpoint.Secured()) {
        // The key is read before anything goes out: a key file that is not safe stops the open.
        c->tls_ = std::make_unique<Tls>();
        c->tls_->identity = endpoint.pskIdentity;
        std::string problem;
        if (platform::ReadPskKeyFile(endpoint.pskFile, endpoint.pskIdentity, &c->tls_->key, &problem) != 0) {
            *why = problem;
            return ERROR_ACCESS_DENIED;
        }
    }
    if (Win32Error e = c->Connect(endpoint, deadline, why); e != ERROR_SUCCESS) return e;
    if (Win32Error e = c->Initiate(masterType, timings.inactivityMs, deadline, why); e != ERROR_SUCCESS) return e;
    if (endpoint.Secured())
        if (Win32Error e = c->Handshake(endpoint, deadline, why); e != ERROR_SUCCESS) return e;
    *out = std::move(c);
    return ERROR_SUCCESS;
}

Win32Error HartIpConnection::Connect(const platform::RemoteEndpoint& endpoint, Clock::time_point deadline,
                                     std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = stream_ ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    if (int e = ::getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found); e != 0 || !found) {
        *why = "cannot resolve " + endpoint.host + ": " + ::gai_strerror(e);
        return ERROR_FILE_NOT_FOUND;
    }
    std::string last = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            r = ::poll(&p, 1, RemainingMs(deadline)) == 1 ? 0 : -1;
            int error = ETIMEDOUT;
            socklen_t length = sizeof(error);
            if (r == 0 && (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)) r = -1;
            errno = error;
        }
        if (r == 0) {
            if (stream_) {
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            }
            fd_ = fd;
            break;
        }
        last = std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (fd_ < 0) {
        *why = "cannot connect to " + endpoint.HostText() + ": " + last;
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

Win32Error HartIpConnection::Initiate(uint8_t masterType, uint32_t inactivityMs, Clock::time_point deadline,
                                      std::string* why) {
    hip::Header header;
    header.version = version_;
    header.type = uint8_t(hip::MessageType::Request);
    header.id = uint8_t(hip::MessageId::SessionInitiate);
    header.sequence = sequence_;
    const auto body = hip::EncodeSessionInitiate({masterType, inactivityMs});
    const auto request = hip::Encode(header, body);
    // In the clear also for a secured session: TLS begins after the answer.
    hip::Message answer;
    if (!Send(request, deadline) || !ReceiveOne(&answer, deadline)) {
        *why = "no answer to the session initiate";
        return ERROR_FILE_NOT_FOUND;
    }
    const auto& h = answer.header;
    if (h.id != header.id || h.sequence != header.sequence) {
        *why = "an answer that is not to the session initiate";
        return ERROR_FILE_NOT_FOUND;
    }
    const bool warning = h.status == hip::status::kSetToNearest || h.status == hip::status::kInsecureSessionExists;
    if (h.type != uint8_t(hip::MessageType::Response) || (h.status != hip::status::kSuccess && !warning)) {
        // Version 14 answers with the server's version: a server that does not speak the secured
        // version is not used for a secured session (nor a plain one for a version it does not know).
        *why = "session refused, status " + std::to_string(h.status);
        return ERROR_FILE_NOT_FOUND;
    }
    if (h.version != version_) {
        *why = "the server answered with version " + std::to_string(h.version);
        return ERROR_FILE_NOT_FOUND;
    }
    const auto granted = hip::DecodeSessionInitiate(answer.body);
    inactivityMs_ = granted && granted->inactivityMs > 0 ? granted->inactivityMs : inactivityMs;
    masterType_ = masterType;
    return ERROR_SUCCESS;
}

Win32Error HartIpConnection::Handshake(const platform::RemoteEndpoint& endpoint, Clock::time_point deadline,
                                       std::string* why) {
    Tls& t = *tls_;
    t.ctx = ::SSL_CTX_new(::TLS_client_method());
    if (!t.ctx || !::SSL_CTX_set_min_proto_version(t.ctx, TLS1_2_VERSION) ||
        !::SSL_CTX_set_cipher_list(t.ctx, kPskCiphers)) {
        *why = "TLS set-up failed: " + SslErrorText();
        return ERROR_ACCESS_DENIED;
    }
    ::SSL_CTX_set_psk_client_callback(t.ctx, &Tls::PskCallback);
    t.ssl = ::SSL_new(t.ctx);
    if (!t.ssl || !::SSL_set_fd(t.ssl, fd_)) {
        *why = "TLS set-up failed: " + SslErrorText();
        return ERROR_ACCESS_DENIED;
    }
    SSL_set_app_data(t.ssl, &t);
    for (;;) {
        const int r = ::SSL_connect(t.ssl);
        if (r == 1) break;
        const int e = ::SSL_get_error(t.ssl, r);
        if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) &&
            WaitFor(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
            continue;
        *why = "TLS handshake with " + endpoint.HostText() + " as " + endpoint.pskIdentity + " failed: " + SslErrorText();
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

bool HartIpConnection::WaitFor(short events, Clock::time_point deadline) {
    pollfd p{fd_, events, 0};
    for (;;) {
        const int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        return r == 1;
    }
}

bool HartIpConnection::Send(std::span<const uint8_t> message, Clock::time_point deadline) {
    size_t done = 0;
    while (done < message.size()) {
        if (tls_ && tls_->ssl) {
            size_t n = 0;
            const int r = ::SSL_write_ex(tls_->ssl, message.data() + done, message.size() - done, &n);
            if (r == 1) {
                done += n;
                continue;
            }
            const int e = ::SSL_get_error(tls_->ssl, r);
            if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) &&
                WaitFor(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
                continue;
            ::ERR_clear_error();
            return false;
        }
        const ssize_t n = ::send(fd_, message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (n >= 0) {
            if (!stream_ && size_t(n) != message.size()) return false;
            done += size_t(n);
            continue;
        }
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(POLLOUT, deadline)) continue;
        return false;
    }
    return true;
}

HartIpConnection::ReadResult HartIpConnection::ReadAvailable(std::vector<hip::Message>* messages) {
    uint8_t buffer[hip::kMaxMessageSize + 1];
    // Bounded: a peer that never stops sending cannot keep the reader here for ever.
    for (int round = 0; round < 64; ++round) {
        ssize_t n;
        if (tls_ && tls_->ssl) {
            size_t got = 0;
            const int r = ::SSL_read_ex(tls_->ssl, buffer, sizeof(buffer), &got);
            if (r != 1) {
                const int e = ::SSL_get_error(tls_->ssl, r);
                ::ERR_clear_error();
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return ReadResult::Ok;
                return e == SSL_ERROR_ZERO_RETURN ? ReadResult::Closed : ReadResult::Failed;
            }
            n = ssize_t(got);
        } else {
            n = ::recv(fd_, buffer, sizeof(buffer), stream_ ? 0 : MSG_TRUNC);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::Ok;
                return ReadResult::Failed; // ECONNREFUSED on UDP: nobody serves the port any more
            }
            if (n == 0 && stream_) return ReadResult::Closed;
        }
        if (!stream_) {
            hip::Message m;
            if (size_t(n) <= hip::kMaxMessageSize && hip::Decode({buffer, size_t(n)}, m) == hip::DecodeError::None)
                messages->push_back(std::move(m));
            continue;
        }
        std::span<const uint8_t> rest(buffer, size_t(n));
        while (!rest.empty()) {
            const size_t taken = reassembler_.Feed(rest);
            rest = rest.subspan(taken);
            while (auto bytes = reassembler_.Next()) {
                hip::Message m;
                if (hip::Decode(*bytes, m) == hip::DecodeError::None) messages->push_back(std::move(m));
            }
            if (reassembler_.broken()) return ReadResult::Failed;
            if (taken == 0 && !rest.empty()) return ReadResult::Failed;
        }
    }
    return ReadResult::Ok;
}

bool HartIpConnection::ReceiveOne(hip::Message* message, Clock::time_point deadline) {
    for (;;) {
        std::vector<hip::Message> messages;
        if (ReadAvailable(&messages) != ReadResult::Ok) return false;
        if (!messages.empty()) {
            *message = std::move(messages.front());
            return true;
        }
        if (!WaitFor(POLLIN, deadline)) return false;
    }
}

void HartIpConnection::CloseSession() {
    if (fd_ < 0) return;
    hip::Header header;
    header.version = version_;
    header.type = uint8_t(hip::MessageType::Request);
    header.id = uint8_t(hip::MessageId::SessionClose);
    header.sequence = NextSequence();
    Send(hip::Encode(header, {}), Clock::now() + std::chrono::milliseconds(200));
    if (tls_ && tls_->ssl) {
        ::SSL_shutdown(tls_->ssl);
        ::ERR_clear_error();
    }
    if (stream_) ::shutdown(fd_, SHUT_RDWR);
}

} // namespace zelhart::hartif

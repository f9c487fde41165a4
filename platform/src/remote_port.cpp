#include "zelhart/platform/remote_port.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::platform {
namespace {

constexpr size_t kMaxUrl = 512;
constexpr size_t kMaxHost = 253;
constexpr size_t kMaxIdentity = 128;
constexpr size_t kMaxPath = 1024;
constexpr size_t kMaxKeyFile = 64 * 1024;

bool Fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

std::optional<RemoteEndpoint> NoEndpoint(std::string* error, std::string text) {
    Fail(error, std::move(text));
    return std::nullopt;
}

bool HostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

bool Ipv6Char(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.'; }

bool ParseHost(std::string_view text, RemoteEndpoint& out, std::string* error) {
    std::string_view host = text;
    std::string_view port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return Fail(error, "an IPv6 address without its ']'");
        host = text.substr(1, close - 1);
        if (host.empty() || host.find(':') == std::string_view::npos)
            return Fail(error, "not an IPv6 address in brackets");
        for (char c : host)
            if (!Ipv6Char(c)) return Fail(error, "not an IPv6 address in brackets");
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return Fail(error, "text after the IPv6 address");
            port = rest.substr(1);
            if (port.empty()) return Fail(error, "an empty port");
        }
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) return Fail(error, "an empty port");
        }
        if (host.empty()) return Fail(error, "no host");
        for (char c : host)
            if (!HostChar(c)) return Fail(error, "a host name with a character other than letters, digits, '-', '.', '_'");
    }
    if (host.size() > kMaxHost) return Fail(error, "a host name longer than 253 characters");
    out.host = std::string(host);
    if (!port.empty()) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535 || port[0] == '0')
            return Fail(error, "a port other than 1..65535");
        out.port = uint16_t(value);
    }
    return true;
}

bool ValidIdentity(std::string_view id) {
    if (id.empty() || id.size() > kMaxIdentity) return false;
    for (char c : id)
        if (c <= ' ' || c > '~' || c == '&' || c == '=') return false;
    return true;
}

bool ParseQuery(std::string_view query, RemoteEndpoint& out, std::string* error) {
    bool haveIdentity = false, haveFile = false;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (amp != std::string_view::npos && query.empty()) return Fail(error, "an empty query parameter");
        const size_t eq = pair.find('=');
        if (eq == std::string_view::npos) return Fail(error, "a query parameter without '='");
        const std::string_view key = pair.substr(0, eq), value = pair.substr(eq + 1);
        if (key == "psk-identity") {
            if (haveIdentity) return Fail(error, "psk-identity given twice");
            if (!ValidIdentity(value)) return Fail(error, "a psk-identity of other than 1..128 printable characters");
            out.pskIdentity = std::string(value);
            haveIdentity = true;
        } else if (key == "psk-file") {
            if (haveFile) return Fail(error, "psk-file given twice");
            if (value.empty() || value[0] != '/' || value.size() > kMaxPath) return Fail(error, "a psk-file that is not an absolute path");
            for (char c : value)
                if (c < ' ' || c == 0x7F) return Fail(error, "a psk-file with a control character");
            out.pskFile = std::string(value);
            haveFile = true;
        } else {
            return Fail(error, "an unknown query parameter '" + std::string(key) + "'");
        }
    }
    if (haveIdentity != haveFile) return Fail(error, "psk-identity and psk-file go together");
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexKey(std::string_view hex, std::vector<uint8_t>* key) {
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > kMaxPskKeyBytes) return false;
    key->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        key->push_back(uint8_t(hi * 16 + lo));
    }
    return true;
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

} // namespace

std::string RemoteEndpoint::HostText() const {
    std::string text = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (port != 5094) text += ":" + std::to_string(port);
    return text;
}

bool IsRemoteUrl(std::string_view value) { return value.starts_with("hartip:") || value.starts_with("hartip+"); }

std::optional<RemoteEndpoint> ParseRemoteEndpoint(std::string_view url, std::string* error) {
    if (url.size() > kMaxUrl) return NoEndpoint(error, "longer than 512 characters");
    RemoteEndpoint out;
    std::string_view rest;
    if (url.starts_with("hartip://")) {
        rest = url.substr(9);
    } else if (url.starts_with("hartip+tcp://")) {
        rest = url.substr(13);
    } else if (url.starts_with("hartip+udp://")) {
        out.transport = RemoteEndpoint::Transport::Udp;
        rest = url.substr(13);
    } else {
        return NoEndpoint(error, "a scheme other than hartip://, hartip+tcp://, hartip+udp://");
    }
    const size_t question = rest.find('?');
    std::string_view authority = rest.substr(0, question);
    if (!authority.empty() && authority.back() == '/') authority.remove_suffix(1);
    if (authority.find('/') != std::string_view::npos) return NoEndpoint(error, "a path after the host");
    if (!ParseHost(authority, out, error)) return std::nullopt;
    if (question != std::string_view::npos && !ParseQuery(rest.substr(question + 1), out, error)) return std::nullopt;
    if (out.Secured() && out.transport == RemoteEndpoint::Transport::Udp)
        return NoEndpoint(error, "a secured session needs TCP (hartip:// or hartip+tcp://)");
    return out;
}

int ReadPskKeyFile(const std::string& path, const std::string& identity, std::vector<uint8_t>* key, std::string* error) {
    key->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        Fail(error, "cannot open the key file " + path);
        return e;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > off_t(kMaxKeyFile)) {
        ::close(fd);
        Fail(error, "the key file " + path + " is not a regular file of at most 64 KiB");
        return EINVAL;
    }
    if (st.st_mode & (S_IROTH | S_IWOTH)) {
        ::close(fd);
        Fail(error, "the key file " + path + " may be read or written by other users (chmod o-rw)");
        return EACCES;
    }
    std::string text(size_t(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fd);
    text.resize(got);
    std::string_view all = text;
    while (!all.empty()) {
        const size_t nl = all.find('\n');
        const std::string_view line = TrimView(all.substr(0, nl));
        all = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
        if (line.empty() || line[0] == '#') continue;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            if (ParseHexKey(line, key)) return 0;
            continue;
        }
        if (TrimView(line.substr(0, colon)) != identity) continue;
        if (ParseHexKey(TrimView(line.substr(colon + 1)), key)) return 0;
        break;
    }
    key->clear();
    Fail(error, "the key file " + path + " holds no hexadecimal key (at most 64 bytes) for " + identity);
    return EINVAL;
}

} // namespace zelhart::platform

#include "options.h"

#include <algorithm>
#include <charconv>

namespace zelhart::hartip::server {

namespace {

template <typename T> bool ParseNumber(std::string_view text, T& out, T min, T max) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string_view Usage() {
    return "usage: zelhart-hartipd [--bind ADDRESS]... [--psk-file FILE] [--allow-plain] [--max-sessions N]\n"
           "                       [--first-message-timeout MS] [--ready-fd FD] COMn=PORT...\n";
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error, bool* help) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            if (help) *help = true;
            error = std::string(Usage());
            return std::nullopt;
        } else if (arg == "--bind") {
            if (!value(v)) return std::nullopt;
            if (v.empty() || v.size() > 64) {
                error = "--bind: not an address: " + v;
                return std::nullopt;
            }
            if (options.binds.size() >= kMaxBinds) {
                error = "--bind: at most " + std::to_string(kMaxBinds) + " addresses";
                return std::nullopt;
            }
            options.binds.push_back(v);
        } else if (arg == "--psk-file") {
            if (!value(options.pskFile)) return std::nullopt;
            if (options.pskFile.empty()) {
                error = "--psk-file: empty file name";
                return std::nullopt;
            }
        } else if (arg == "--allow-plain") {
            options.allowPlain = true;
        } else if (arg == "--max-sessions") {
            if (!value(v)) return std::nullopt;
            if (!ParseNumber<std::size_t>(v, options.maxSessions, 1, kMaxSessionsLimit)) {
                error = "--max-sessions: a number from 1 to " + std::to_string(kMaxSessionsLimit) + ": " + v;
                return std::nullopt;
            }
        } else if (arg == "--first-message-timeout") {
            if (!value(v)) return std::nullopt;
            if (!ParseNumber<std::uint32_t>(v, options.firstMessageMs, 100, 60000)) {
                error = "--first-message-timeout: milliseconds from 100 to 60000: " + v;
                return std::nullopt;
            }
        } else if (arg == "--ready-fd") {
            if (!value(v)) return std::nullopt;
            if (!ParseNumber<int>(v, options.readyFd, 0, 65535)) {
                error = "--ready-fd: not a descriptor: " + v;
                return std::nullopt;
            }
        } else if (arg.starts_with("COM")) {
            const auto eq = arg.find('=');
            PortMapping mapping;
            int port = 0;
            if (eq == std::string::npos ||
                !ParseNumber<int>(std::string_view(arg).substr(3, eq - 3), mapping.com, 1, 255) ||
                !ParseNumber<int>(std::string_view(arg).substr(eq + 1), port, 0, 65535)) {
                error = "not a port mapping COMn=PORT (n 1-255, PORT 0-65535): " + arg;
                return std::nullopt;
            }
            mapping.port = static_cast<std::uint16_t>(port);
            for (const PortMapping& other : options.ports)
                if (other.com == mapping.com || (mapping.port != 0 && other.port == mapping.port)) {
                    error = "COM" + std::to_string(mapping.com) + ": the COM port or the network port is mapped twice";
                    return std::nullopt;
                }
            if (options.ports.size() >= kMaxPorts) {
                error = "at most " + std::to_string(kMaxPorts) + " ports";
                return std::nullopt;
            }
            options.ports.push_back(mapping);
        } else {
            error = "unknown argument: " + arg;
            return std::nullopt;
        }
    }
    if (options.ports.empty()) {
        error = "no port to serve (COMn=PORT)";
        return std::nullopt;
    }
    return options;
}

std::optional<std::vector<PskEntry>> ParsePskFile(std::string_view text, std::string& error) {
    if (text.size() > kMaxPskFileSize) {
        error = "the key file is larger than " + std::to_string(kMaxPskFileSize) + " bytes";
        return std::nullopt;
    }
    std::vector<PskEntry> entries;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        const std::string where = "key file line " + std::to_string(lineNo) + ": ";
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon > kMaxPskIdentity) {
            error = where + "not identity:key (identity 1 to " + std::to_string(kMaxPskIdentity) + " characters)";
            return std::nullopt;
        }
        PskEntry entry;
        entry.identity = std::string(line.substr(0, colon));
        if (std::any_of(entry.identity.begin(), entry.identity.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x21 || c == 0x7F; })) {
            error = where + "the identity holds a space or a control character";
            return std::nullopt;
        }
        const std::string_view hex = line.substr(colon + 1);
        if (hex.size() % 2 != 0 || hex.size() < 32 || hex.size() > 128) {
            error = where + "the key is not 16 to 64 bytes in hexadecimal";
            return std::nullopt;
        }
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
            if (hi < 0 || lo < 0) {
                error = where + "the key is not hexadecimal";
                return std::nullopt;
            }
            entry.key.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
        if (std::any_of(entries.begin(), entries.end(), [&](const PskEntry& e) { return e.identity == entry.identity; })) {
            error = where + "the identity " + entry.identity + " appears twice";
            return std::nullopt;
        }
        if (entries.size() >= kMaxPskEntries) {
            error = where + "more than " + std::to_string(kMaxPskEntries) + " keys";
            return std::nullopt;
        }
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) {
        error = "the key file holds no key";
        return std::nullopt;
    }
    return entries;
}

} // namespace zelhart::hartip::server

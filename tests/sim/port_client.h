// A small raw HART master for the tests: opens a COM port of the map exclusively, writes bytes and
// reads frames with deadlines.
#pragma once

#include "hart_test_util.h"
#include "zelhart/platform/serial_port.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/sim/slave_framer.h"

#include <chrono>
#include <optional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace zelhart::sim::testing {

class PortClient {
public:
    using Clock = std::chrono::steady_clock;

    // Opens COM<number> of the map under `runtimeDir`; returns 0 or an errno value.
    int Open(const std::string& runtimeDir, int number) {
        platform::SerialPortMapSources sources;
        sources.portsDir = runtimeDir + "/ports";
        auto path = platform::LookupComPort(number, sources);
        if (!path) return ENOENT;
        int rc = port_.Open(*path);
        if (rc != 0) return rc;
        termios t{};
        ::tcgetattr(port_.fd(), &t);
        ::cfmakeraw(&t);
        ::tcsetattr(port_.fd(), TCSANOW, &t);
        return 0;
    }
    void Close() { port_.Close(); }
    int fd() const { return port_.fd(); }

    bool Write(const Bytes& bytes) {
        lastWrite_ = Clock::now();
        return ::write(port_.fd(), bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }

    // Reads until `count` bytes have come or the deadline passes.
    Bytes ReadBytes(size_t count, std::chrono::milliseconds timeout) {
        Bytes out;
        auto deadline = Clock::now() + timeout;
        while (out.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd p{port_.fd(), POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            uint8_t buf[512];
            ssize_t n = ::read(port_.fd(), buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) continue;
            if (out.empty()) firstByte_ = Clock::now();
            out.insert(out.end(), buf, buf + n);
            lastByte_ = Clock::now();
        }
        return out;
    }

    // The next frame on the line, or nothing at the deadline.
    std::optional<Frame> ReadFrame(std::chrono::milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{port_.fd(), POLLIN, 0};
            if (::poll(&p, 1, int(std::max<long>(left.count(), 1))) <= 0) continue;
            uint8_t b;
            if (::read(port_.fd(), &b, 1) != 1) continue;
            if (auto f = framer_.Feed(b, Clock::now())) return f;
        }
        return std::nullopt;
    }

    // Sends a request (preambles included) and returns the first answer to its command, trying
    // again (as a master does) when nothing comes.
    std::optional<Frame> Exchange(const Bytes& request, int attempts = 3,
                                  std::chrono::milliseconds timeout = std::chrono::milliseconds(1500)) {
        size_t at = 0;
        while (at < request.size() && request[at] == kPreamble) ++at;
        uint8_t command = request.at(at + HeaderLength(request.at(at)) - 2);
        for (int i = 0; i < attempts; ++i) {
            Write(request);
            auto deadline = Clock::now() + timeout;
            while (Clock::now() < deadline) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                auto f = ReadFrame(left);
                if (f && f->type() == FrameType::Reply && f->command() == command) return f;
            }
        }
        return std::nullopt;
    }

    Clock::time_point lastWrite() const { return lastWrite_; }
    Clock::time_point firstByte() const { return firstByte_; }
    Clock::time_point lastByte() const { return lastByte_; }

private:
    platform::ExclusiveSerialPort port_;
    SlaveFramer framer_;
    Clock::time_point lastWrite_{}, firstByte_{}, lastByte_{};
};

inline Bytes WithPreambles(const Bytes& frame, size_t n = 6) {
    Bytes out(n, 0xFF);
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

} // namespace zelhart::sim::testing

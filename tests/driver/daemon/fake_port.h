// A serial port the test plays the far end of: a pseudo-terminal whose master side the test holds,
// registered as COM<n> in the runtime directory's ports. The test also keeps a descriptor on the
// port itself, taken before the driver opens it, through which it reads the port's settings.
#pragma once

#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/unique_fd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelhart::testing {

class FakePort {
  public:
    // `number` 0: not registered in the ports directory.
    FakePort(const std::string& runtimeDir, int number) : portsDir_(runtimeDir + "/ports"), number_(number) {
        master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) std::abort();
        path_ = ::ptsname(master_.get());
        slave_.reset(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!slave_) std::abort();
        if (number_ > 0) {
            platform::MakeDirs(portsDir_);
            EXPECT_EQ(platform::RegisterComPort(portsDir_, number_, path_), 0);
        }
    }
    ~FakePort() {
        if (number_ > 0) platform::UnregisterComPort(portsDir_, number_);
    }
    FakePort(const FakePort&) = delete;
    FakePort& operator=(const FakePort&) = delete;

    const std::string& path() const { return path_; }

    // The port's settings as the driver left them.
    termios Settings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(slave_.get(), &t), 0);
        return t;
    }

    // What the driver sent, up to `expected` bytes, waiting at most `timeout` in all.
    std::vector<uint8_t> Receive(size_t expected,
                                 std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        std::vector<uint8_t> bytes;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (bytes.size() < expected && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_.get(), POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            uint8_t buf[256];
            ssize_t n = ::read(master_.get(), buf, sizeof buf);
            if (n > 0) bytes.insert(bytes.end(), buf, buf + n);
        }
        return bytes;
    }

    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(master_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The far end goes away: the port hangs up.
    void HangUp() {
        slave_.reset();
        master_.reset();
    }

  private:
    std::string portsDir_;
    int number_;
    platform::UniqueFd master_, slave_;
    std::string path_;
};

// The identity reply of a slave at polling address 0 to a primary master, without preambles.
inline std::vector<uint8_t> IdentityReply() {
    std::vector<uint8_t> body{0x06, 0x80, 0x00, 0x0E, 0x00, 0x00, 254,  153,  252,
                              5,    5,    1,    3,    0x10, 0x00, 0x3A, 0x5F, 0x21};
    uint8_t check = 0;
    for (uint8_t b : body)
        check ^= b;
    body.push_back(check);
    return body;
}

// A slave answers a little after the request's last character, not at once.
inline void Turnaround() {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

inline std::vector<uint8_t> WithPreambles(const std::vector<uint8_t>& frame, size_t count = 5) {
    std::vector<uint8_t> out(count, 0xFF);
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

} // namespace zelhart::testing

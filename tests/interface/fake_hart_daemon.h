// The fake HART daemon (fake_hart_daemon_main.cpp) for a test: started on the test's runtime
// directory, ready when Start returns, killed or stopped on request and always when the object goes.
// Its devices are steered through the socket, with the driver's own client.
#pragma once

#include "fake_hart_driver.h"
#include "zelhart/hart_ioctl.h"

#include "zelhart/platform/iomgr_client.h"
#include "zelhart/platform/unique_fd.h"
#include "zelhart/sim/child_process.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace zelhart::hartif::testing {

namespace iomgr = platform::iomgr;

inline std::string HartDevicePath(int port) {
    return "\\\\.\\{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART" + std::to_string(port);
}

class FakeHartDaemon {
public:
    // Serves $ZELHART_RUNTIME_DIR of this process (set it first). Empty text, or what went wrong.
    std::string Start(const std::vector<int>& ports = {}) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe";
        platform::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
        sim::ChildSpec spec;
        spec.executable = FAKE_HART_DAEMON;
        spec.args = {"--ready-fd", "3"};
        for (int port : ports) spec.args.insert(spec.args.end(), {"--device", std::to_string(port)});
        spec.passFd = writeEnd.get();
        if (std::string e = child_.Start(spec); !e.empty()) return e;
        writeEnd.reset();
        char buf[8] = {};
        pollfd p{readEnd.get(), POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0 || ::read(readEnd.get(), buf, sizeof(buf) - 1) != 6)
            return "fake_hart_daemon did not become ready";
        return std::string(buf) == "ready\n" ? "" : "fake_hart_daemon said " + std::string(buf);
    }
    // SIGKILL: the daemon dies without closing anything itself.
    void Kill() {
        if (!child_.running()) return;
        ::kill(child_.pid(), SIGKILL);
        child_.Wait(std::chrono::seconds(5));
    }
    int Stop() { return child_.Terminate(); }
    bool Running() { return child_.running() && !child_.Wait(std::chrono::milliseconds(0)); }

    // Steering, through the function device. Win32 results.
    uint32_t RemoveDevice(int port) { return Control(IOCTL_FAKE_REMOVE_DEVICE, port, {}); }
    uint32_t DeliverFrame(int port, const std::vector<uint8_t>& frame, NTSTATUS status = STATUS_SUCCESS) {
        std::vector<uint8_t> extra(4);
        std::memcpy(extra.data(), &status, 4);
        extra.insert(extra.end(), frame.begin(), frame.end());
        return Control(IOCTL_FAKE_DELIVER_FRAME, port, extra);
    }
    std::optional<uint32_t> WriteCount(int port) {
        uint32_t count = 0;
        if (Control(IOCTL_FAKE_WRITE_COUNT, port, {}, &count) != platform::ERROR_SUCCESS) return std::nullopt;
        return count;
    }
    // The device's protocol and receive mask, asked of the device itself as any client would.
    std::optional<HartProtocolInfo> Protocol(int port) {
        HartProtocolInfo p{};
        if (!DeviceQuery(port, IOCTL_HART_GET_PROTOCOL, &p, sizeof(p))) return std::nullopt;
        return p;
    }
    std::optional<uint8_t> ReadMask(int port) {
        uint8_t mask = 0;
        if (!DeviceQuery(port, IOCTL_HART_GET_READ_MASK, &mask, 1)) return std::nullopt;
        return mask;
    }

private:
    uint32_t Control(uint32_t code, int port, const std::vector<uint8_t>& extra, uint32_t* out = nullptr) {
        std::string path;
        auto guid = platform::ParseGuid(kHartFunctionDeviceInterface);
        if (uint32_t e = iomgr::LookupDeviceInterface(*guid, 0, &path); e != platform::ERROR_SUCCESS) return e;
        std::unique_ptr<iomgr::DeviceFile> file;
        if (uint32_t e = iomgr::DeviceFile::Open(path, iomgr::GENERIC_READ, iomgr::FILE_SHARE_READ, 0, &file);
            e != platform::ERROR_SUCCESS)
            return e;
        std::vector<uint8_t> in(4);
        uint32_t number = uint32_t(port);
        std::memcpy(in.data(), &number, 4);
        in.insert(in.end(), extra.begin(), extra.end());
        uint32_t returned = 0;
        return file->DeviceIoControl(code, in.data(), uint32_t(in.size()), out, out ? 4 : 0, &returned);
    }
    bool DeviceQuery(int port, uint32_t code, void* out, uint32_t length) {
        std::unique_ptr<iomgr::DeviceFile> file;
        if (iomgr::DeviceFile::Open(HartDevicePath(port), iomgr::GENERIC_READ | iomgr::GENERIC_WRITE, 0, 0, &file) !=
            platform::ERROR_SUCCESS)
            return false;
        uint32_t returned = 0;
        return file->DeviceIoControl(code, out, length, out, length, &returned) == platform::ERROR_SUCCESS &&
               returned == length;
    }

    sim::ChildProcess child_;
};

} // namespace zelhart::hartif::testing

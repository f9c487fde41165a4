// Talking to ZelHartDriver's devices from a test: frames, overlapped requests with bounded waits,
// and device I/O control with its NTSTATUS.
#pragma once

#include "zelhart/hart_ioctl.h"
#include "zelhart/platform/iomgr_client.h"
#include "zelhart/platform/serial_port_map.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zelhart::testing {

using namespace std::chrono_literals;
using platform::iomgr::DeviceFile;
using platform::iomgr::Event;
using platform::iomgr::Overlapped;
using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kWaitMs = 5000;

// COM numbers for the tests' ports: those of the simulators' range (COM201-COM255) that no real port
// of this machine has, chosen once. A test's port never shadows a real one, and when the test's port
// goes away its COM name does not fall to a real UART that the daemon would then open.
inline int TestCom(size_t slot) {
    static const std::vector<int> free = [] {
        platform::SerialPortMapSources real;
        real.devDir = "/dev";
        real.sysTtyDir = "/sys/class/tty";
        std::vector<bool> taken(platform::kLastSimulatorComNumber + 1);
        for (const auto& port : platform::ReadSerialPortMap(real))
            if (port.number <= platform::kLastSimulatorComNumber) taken[size_t(port.number)] = true;
        std::vector<int> numbers;
        for (int n = platform::kFirstSimulatorComNumber; n <= platform::kLastSimulatorComNumber; ++n)
            if (!taken[size_t(n)]) numbers.push_back(n);
        return numbers;
    }();
    if (slot >= free.size()) {
        ADD_FAILURE() << "no free COM number for the test's port " << slot;
        return platform::kLastSimulatorComNumber;
    }
    return free[slot];
}

// Polls `condition` until it holds or `timeout` passes.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A short-frame request to polling address `poll`, with five preambles, as the program builds it.
inline Bytes ShortRequest(uint8_t command, uint8_t masterBit = 0x80, uint8_t poll = 0) {
    Bytes frame(5, 0xFF);
    Bytes body{0x02, static_cast<uint8_t>(masterBit | poll), command, 0x00};
    uint8_t check = 0;
    for (uint8_t b : body)
        check ^= b;
    body.push_back(check);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

inline bool CheckByteOk(const Bytes& frame) {
    uint8_t x = 0;
    for (uint8_t b : frame)
        x ^= b;
    return !frame.empty() && x == 0;
}

// One overlapped request: its event, its Overlapped and its buffer.
// Its outcome is read after GetOverlappedResult, which orders the reading thread after the client's
// receiving thread that filled it in.
struct PendingIo {
    Event event;
    Overlapped ov{};
    Bytes buffer;
    DeviceFile* file = nullptr;
    explicit PendingIo(size_t size = 0) : buffer(size) { ov.hEvent = &event; }
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;
    // Waits for completion; false at the time-out.
    bool Wait(uint32_t ms = kWaitMs) {
        if (platform::iomgr::WaitForSingleEvent(event, ms) != platform::iomgr::WAIT_OBJECT_0) return false;
        if (file) file->GetOverlappedResult(&ov, nullptr, false);
        return true;
    }
    bool Done() const { return event.IsSet(); }
    NTSTATUS Status() const { return ov.Internal; }
    uint32_t Information() const { return ov.InternalHigh; }
    Bytes Data() const {
        return Bytes(buffer.begin(), buffer.begin() + std::min<size_t>(Information(), buffer.size()));
    }
};

inline void StartRead(DeviceFile& file, PendingIo& io) {
    io.file = &file;
    ASSERT_EQ(file.Read(io.buffer.data(), static_cast<uint32_t>(io.buffer.size()), nullptr, &io.ov),
              platform::ERROR_IO_PENDING);
}

inline void StartWrite(DeviceFile& file, PendingIo& io, const Bytes& frame) {
    io.file = &file;
    io.buffer = frame;
    ASSERT_EQ(file.Write(io.buffer.data(), static_cast<uint32_t>(io.buffer.size()), nullptr, &io.ov),
              platform::ERROR_IO_PENDING);
}

// Device I/O control; the request's NTSTATUS (STATUS_TIMEOUT when it did not complete in time).
inline NTSTATUS Ioctl(DeviceFile& file, uint32_t code, const void* in, uint32_t inLength, void* out = nullptr,
                      uint32_t outLength = 0, uint32_t* returned = nullptr,
                      const Event* passEvent = nullptr) {
    PendingIo io;
    io.file = &file;
    uint32_t rc = file.DeviceIoControl(code, in, inLength, out, outLength, nullptr, &io.ov, passEvent);
    if (rc != platform::ERROR_IO_PENDING) return STATUS_INVALID_PARAMETER;
    if (!io.Wait()) {
        file.CancelIoEx(&io.ov);
        io.Wait();
        return STATUS_TIMEOUT;
    }
    if (returned) *returned = io.Information();
    return io.Status();
}

inline NTSTATUS SetProtocol(DeviceFile& file, uint16_t mode, uint8_t masterType, uint8_t retries) {
    HartProtocolInfo info{mode, masterType, retries};
    return Ioctl(file, IOCTL_HART_SET_PROTOCOL, &info, sizeof(info));
}

inline HartProtocolInfo GetProtocol(DeviceFile& file) {
    HartProtocolInfo in{}, out{};
    uint32_t n = 0;
    EXPECT_EQ(Ioctl(file, IOCTL_HART_GET_PROTOCOL, &in, sizeof(in), &out, sizeof(out), &n), STATUS_SUCCESS);
    EXPECT_EQ(n, sizeof(out));
    return out;
}

inline std::string HartDevicePath(int port) {
    return std::string("\\\\.\\") + kHartDeviceLinkTail + std::to_string(port);
}

// Opens the HART device of COM<port>; the Win32 result in *error when given.
inline std::unique_ptr<DeviceFile> OpenHart(int port, uint32_t* error = nullptr) {
    std::unique_ptr<DeviceFile> file;
    uint32_t rc =
        DeviceFile::Open(HartDevicePath(port), platform::iomgr::GENERIC_READ | platform::iomgr::GENERIC_WRITE,
                         0, platform::iomgr::FILE_FLAG_OVERLAPPED, &file);
    if (error)
        *error = rc;
    else
        EXPECT_EQ(rc, platform::ERROR_SUCCESS) << "COM" << port;
    return file;
}

// Opens the function device through its interface class (which creates the HART devices).
inline std::unique_ptr<DeviceFile> OpenFunctionDevice() {
    std::string path;
    uint32_t rc =
        platform::iomgr::LookupDeviceInterface(*platform::ParseGuid(kHartFunctionDeviceInterface), 0, &path);
    EXPECT_EQ(rc, platform::ERROR_SUCCESS);
    std::unique_ptr<DeviceFile> file;
    EXPECT_EQ(DeviceFile::Open(path, platform::iomgr::GENERIC_READ, 0, platform::iomgr::FILE_FLAG_OVERLAPPED,
                               &file),
              platform::ERROR_SUCCESS);
    return file;
}

// The record of IOCTL_HART_MODEM_INIT for a device path and a COM name.
inline HartModemInitInfo ModemInitInfo(const std::string& devicePath, const std::string& comName) {
    HartModemInitInfo info{};
    for (size_t i = 0; i < devicePath.size() && i < 127; ++i)
        info.SerialDeviceName[i] = static_cast<char16_t>(devicePath[i]);
    info.SerialDeviceNameLength = static_cast<uint32_t>((devicePath.size() + 1) * 2);
    for (size_t i = 0; i < comName.size() && i < 127; ++i)
        info.PortName[i] = static_cast<char16_t>(comName[i]);
    info.PortNameLength = static_cast<uint32_t>((comName.size() + 1) * 2);
    return info;
}

// One exchange the way the library does it: a read waiting, the frame written, the reply read.
struct ExchangeResult {
    NTSTATUS writeStatus = STATUS_PENDING;
    uint32_t written = 0;
    NTSTATUS readStatus = STATUS_PENDING;
    Bytes reply;
};

inline ExchangeResult Exchange(DeviceFile& file, const Bytes& request, uint32_t waitMs = kWaitMs) {
    ExchangeResult result;
    PendingIo read(300), write;
    StartRead(file, read);
    StartWrite(file, write, request);
    if (write.Wait(waitMs)) {
        result.writeStatus = write.Status();
        result.written = write.Information();
    }
    if (read.Wait(NT_SUCCESS(result.writeStatus) ? waitMs : 300)) {
        result.readStatus = read.Status();
        result.reply = read.Data();
    } else {
        file.CancelIoEx(&read.ov);
        read.Wait();
    }
    if (!write.Done()) {
        file.CancelIoEx(&write.ov);
        write.Wait();
    }
    return result;
}

} // namespace zelhart::testing

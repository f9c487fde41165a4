// The library's device I/O over the driver's socket client, against the fake HART daemon: every call
// of IDeviceFile through a real connection, the completion eventfd, and what a vanished device or
// daemon looks like to the library.
#include "client_device_io.h"
#include "device_base.h"
#include "fake_hart_daemon.h"
#include "modem_init.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>

namespace zelhart::hartif::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// A short-frame request to polling address 0 from the primary master, with preambles.
Bytes Request(uint8_t command) {
    Bytes frame{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, command, 0x00};
    uint8_t check = 0;
    for (size_t i = 5; i < frame.size(); ++i) check ^= frame[i];
    frame.push_back(check);
    return frame;
}

bool Signalled(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

class ClientDeviceIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ZELHART_RUNTIME_DIR", runtime.path().c_str(), 1);
        event.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        ASSERT_TRUE(event.valid());
    }
    void TearDown() override { ::unsetenv("ZELHART_RUNTIME_DIR"); }

    std::unique_ptr<IDeviceFile> OpenHart(int port) {
        std::unique_ptr<IDeviceFile> file;
        EXPECT_EQ(io->Open(HartDevicePath(port), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_FLAG_OVERLAPPED,
                           &file),
                  ERROR_SUCCESS);
        return file;
    }
    Win32Error Write(IDeviceFile& file, const Bytes& frame) {
        uint32_t written = 0;
        Win32Error e = file.Write(frame.data(), uint32_t(frame.size()), &written);
        if (e == ERROR_SUCCESS) {
            EXPECT_EQ(written, frame.size());
        }
        return e;
    }
    // Waits for the read's event, then takes its result.
    Win32Error ReadResult(IDeviceFile& file, Bytes* data) {
        EXPECT_TRUE(Signalled(event.get(), 5000)) << "the read's event was not signalled";
        uint8_t buffer[300];
        uint32_t bytes = 0;
        Win32Error e = file.GetReadResult(buffer, sizeof(buffer), &bytes, false);
        data->assign(buffer, buffer + bytes);
        return e;
    }

    zelhart::testing::TempDir runtime;
    FakeHartDaemon daemon;
    std::shared_ptr<IDeviceIo> io = MakeClientDeviceIo();
    platform::UniqueFd event;
};

TEST_F(ClientDeviceIoTest, WithoutDaemonOpensFailAsFileNotFoundAndLookUpsFindNothing) {
    std::unique_ptr<IDeviceFile> file;
    EXPECT_EQ(io->Open(HartDevicePath(3), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_FLAG_OVERLAPPED, &file),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(file, nullptr);
    std::string path = "stale";
    EXPECT_EQ(io->FindDeviceInterface(kHartFunctionDeviceInterface, &path), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(path, "");
    EXPECT_EQ(io->FindDeviceInterface("{not a guid}", &path), ERROR_INVALID_PARAMETER);
}

TEST_F(ClientDeviceIoTest, FunctionDeviceAnnouncesAPortAndItsHartDeviceOpens) {
    ASSERT_EQ(daemon.Start(), "");
    std::unique_ptr<IDeviceFile> file;
    EXPECT_EQ(io->Open(HartDevicePath(5), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_FLAG_OVERLAPPED, &file),
              ERROR_FILE_NOT_FOUND);

    std::string path;
    ASSERT_EQ(io->FindDeviceInterface(kHartFunctionDeviceInterface, &path), ERROR_SUCCESS);
    EXPECT_NE(path.find("{dd2540c5-808a-4461-89fe-9cce766b8e77}"), std::string::npos) << path;
    std::unique_ptr<IDeviceFile> function;
    ASSERT_EQ(io->Open(path, GENERIC_READ, FILE_SHARE_READ, 0, &function), ERROR_SUCCESS);
    HartModemInitInfo record = MakeModemInitInfo("/dev/pts/9", "COM5");
    uint32_t returned = 99;
    EXPECT_EQ(function->DeviceIoControl(IOCTL_HART_MODEM_INIT, &record, sizeof(record), &record, sizeof(record),
                                        &returned),
              ERROR_SUCCESS);
    EXPECT_EQ(returned, 0u);
    // A second announcement of the same port: the device exists already.
    EXPECT_EQ(function->DeviceIoControl(IOCTL_HART_MODEM_INIT, &record, sizeof(record), &record, sizeof(record),
                                        &returned),
              platform::ERROR_ALREADY_EXISTS);
    EXPECT_NE(OpenHart(5), nullptr);
}

TEST_F(ClientDeviceIoTest, ReplyToAWrittenFrameCompletesThePendingReadAndSignalsTheCallersEvent) {
    ASSERT_EQ(daemon.Start({3}), "");
    auto file = OpenHart(3);
    ASSERT_NE(file, nullptr);
    uint8_t buffer[300];
    uint32_t bytes = 7;
    EXPECT_EQ(file->GetReadResult(buffer, sizeof(buffer), &bytes, false), ERROR_INVALID_PARAMETER) << "no read yet";

    ASSERT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_IO_PENDING);
    EXPECT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_INVALID_PARAMETER) << "one read at a time";
    EXPECT_EQ(file->GetReadResult(buffer, sizeof(buffer), &bytes, false), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(Signalled(event.get(), 50));

    ASSERT_EQ(Write(*file, Request(13)), ERROR_SUCCESS);
    Bytes reply;
    EXPECT_EQ(ReadResult(*file, &reply), ERROR_SUCCESS);
    EXPECT_EQ(reply, FakeReplyTo(Request(13).data(), Request(13).size()));
    EXPECT_EQ(file->GetReadResult(buffer, sizeof(buffer), &bytes, false), ERROR_INVALID_PARAMETER) << "taken";

    // The next read finds a frame the device kept meanwhile, and a short buffer gets what fits.
    uint64_t drain;
    ASSERT_EQ(::read(event.get(), &drain, sizeof(drain)), 8);
    ASSERT_EQ(Write(*file, Request(48)), ERROR_SUCCESS);
    Win32Error started = file->StartRead(kReadBufferSize, event.get());
    EXPECT_TRUE(started == ERROR_IO_PENDING || started == ERROR_SUCCESS) << started;
    ASSERT_TRUE(Signalled(event.get(), 5000));
    EXPECT_EQ(file->GetReadResult(buffer, 4, &bytes, true), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(buffer[2], 48) << "the command byte of the reply";
    EXPECT_EQ(daemon.WriteCount(3), 2u);
}

TEST_F(ClientDeviceIoTest, ControlRequestsUseOneBufferForInputAndOutput) {
    ASSERT_EQ(daemon.Start({3}), "");
    auto file = OpenHart(3);
    ASSERT_NE(file, nullptr);
    HartProtocolInfo protocol{0, HART_SECONDARY_MASTER, 4};
    uint32_t returned = 99;
    ASSERT_EQ(file->DeviceIoControl(IOCTL_HART_SET_PROTOCOL, &protocol, 4, &protocol, 4, &returned), ERROR_SUCCESS);
    EXPECT_EQ(returned, 0u);
    HartProtocolInfo got{0xFFFF, 0xFF, 0xFF};
    ASSERT_EQ(file->DeviceIoControl(IOCTL_HART_GET_PROTOCOL, &got, 4, &got, 4, &returned), ERROR_SUCCESS);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(got, protocol);

    uint8_t mask = 0x73;
    ASSERT_EQ(file->DeviceIoControl(IOCTL_HART_SET_READ_MASK, &mask, 1, &mask, 1, &returned), ERROR_SUCCESS);
    EXPECT_EQ(daemon.ReadMask(3), 0x73);
    EXPECT_EQ(file->DeviceIoControl(IOCTL_HART_ENUMERATE_DEVICES, &mask, 1, &mask, 1, &returned), ERROR_NOT_SUPPORTED);
}

TEST_F(ClientDeviceIoTest, DeviceFailuresArriveAsTheirWin32Codes) {
    ASSERT_EQ(daemon.Start({3}), "");
    auto file = OpenHart(3);
    ASSERT_NE(file, nullptr);
    // No answer from the slave after the retries: the write fails.
    EXPECT_EQ(Write(*file, Request(kSilentCommand)), ERROR_UNEXP_NET_ERR);

    // A frame that failed its check still comes with its bytes.
    ASSERT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_IO_PENDING);
    const Bytes damaged{0x06, 0x80, 0x00, 0x02, 0x00, 0x00, 0x99};
    ASSERT_EQ(daemon.DeliverFrame(3, damaged, STATUS_CRC_ERROR), ERROR_SUCCESS);
    Bytes data;
    EXPECT_EQ(ReadResult(*file, &data), ERROR_CRC);
    EXPECT_EQ(data, damaged);

    // CancelIo ends the pending read as aborted.
    uint64_t drain;
    ASSERT_EQ(::read(event.get(), &drain, sizeof(drain)), 8);
    ASSERT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_IO_PENDING);
    EXPECT_EQ(file->CancelIo(), ERROR_SUCCESS);
    EXPECT_EQ(ReadResult(*file, &data), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(data.empty());
}

TEST_F(ClientDeviceIoTest, RemovedDeviceAbortsThePendingReadAndRefusesFurtherRequests) {
    ASSERT_EQ(daemon.Start({3}), "");
    auto file = OpenHart(3);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_IO_PENDING);
    ASSERT_EQ(daemon.RemoveDevice(3), ERROR_SUCCESS);
    Bytes data;
    EXPECT_EQ(ReadResult(*file, &data), ERROR_OPERATION_ABORTED);
    EXPECT_NE(Write(*file, Request(0)), ERROR_SUCCESS);
    EXPECT_EQ(file->Close(), ERROR_SUCCESS);
    EXPECT_EQ(file->Close(), ERROR_INVALID_HANDLE);
    std::unique_ptr<IDeviceFile> again;
    EXPECT_EQ(io->Open(HartDevicePath(3), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_FLAG_OVERLAPPED, &again),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(ClientDeviceIoTest, DaemonThatDiesAbortsThePendingReadAndLaterRequestsFailAsNotReady) {
    ASSERT_EQ(daemon.Start({3}), "");
    auto file = OpenHart(3);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_IO_PENDING);
    daemon.Kill();
    Bytes data;
    EXPECT_EQ(ReadResult(*file, &data), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_NOT_READY);
    EXPECT_EQ(Write(*file, Request(0)), ERROR_NOT_READY);
    uint8_t mask = 2;
    uint32_t returned;
    EXPECT_EQ(file->DeviceIoControl(IOCTL_HART_SET_READ_MASK, &mask, 1, &mask, 1, &returned), ERROR_NOT_READY);
    EXPECT_EQ(file->Close(), ERROR_SUCCESS);
}

TEST_F(ClientDeviceIoTest, CloseReturnsOnlyOnceTheDriverHasLetGoOfTheHandle) {
    ASSERT_EQ(daemon.Start({3}), "");
    for (int round = 0; round < 3; ++round) {
        auto file = OpenHart(3);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_IO_PENDING);
        std::filesystem::remove(FakeReleaseMarker(3));
        EXPECT_EQ(file->Close(), ERROR_SUCCESS);
        // What the driver holds for a handle (a serial port) is free for the next user at once.
        EXPECT_TRUE(std::filesystem::exists(FakeReleaseMarker(3))) << "round " << round;
    }
}

TEST_F(ClientDeviceIoTest, CloseEndsThePendingReadAndLeavesTheEventAloneAfterwards) {
    ASSERT_EQ(daemon.Start({3}), "");
    auto file = OpenHart(3);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_IO_PENDING);
    EXPECT_EQ(file->Close(), ERROR_SUCCESS);
    EXPECT_EQ(file->StartRead(kReadBufferSize, event.get()), ERROR_INVALID_HANDLE);
    uint8_t buffer[8];
    uint32_t bytes;
    EXPECT_EQ(file->GetReadResult(buffer, sizeof(buffer), &bytes, true), ERROR_INVALID_HANDLE);
    // Whatever the close did to the event, nothing touches it once Close has returned: not a frame
    // for the device, not the daemon's end.
    uint64_t drain;
    [[maybe_unused]] ssize_t n = ::read(event.get(), &drain, sizeof(drain));
    auto other = OpenHart(3);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(Write(*other, Request(1)), ERROR_SUCCESS);
    daemon.Kill();
    EXPECT_FALSE(Signalled(event.get(), 100));
    // A descriptor that is no eventfd at all is refused before anything is sent.
    EXPECT_EQ(other->StartRead(kReadBufferSize, -1), ERROR_INVALID_HANDLE);
}

} // namespace
} // namespace zelhart::hartif::testing

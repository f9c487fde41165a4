// The serial I/O target on a pseudo-terminal: the test keeps the master side as "the line".
#include "framework_fixture.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>

using namespace zelhart::drvfw;
using namespace zelhart::testing;
using zelhart::platform::UniqueFd;

namespace {

struct Completion {
    std::mutex m;
    std::vector<RequestCompletionParams> seen;
    std::atomic<bool> onLoop{true};
    size_t count() {
        std::lock_guard lock(m);
        return seen.size();
    }
    RequestCompletionParams at(size_t i) {
        std::lock_guard lock(m);
        return seen.at(i);
    }
};

class IoTargetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int m = -1, s = -1;
        char name[128];
        ASSERT_EQ(::openpty(&m, &s, name, nullptr, nullptr), 0);
        master_.reset(m);
        ::close(s);
        slave_ = name;
        fw_ = std::make_unique<Framework>(FrameworkOptions{});
        ASSERT_EQ(Driver::Create(*fw_, fw_->RegistryPath(), {}, {}, &driver_), STATUS_SUCCESS);
        PWDFDEVICE_INIT init = DeviceInit::ControlDeviceInitAllocate(driver_, "");
        ASSERT_EQ(Device::Create(init, {}, &device_), STATUS_SUCCESS);
        ASSERT_EQ(IoTarget::Create(device_, {}, &target_), STATUS_SUCCESS);
        fw_->Start();
    }
    void TearDown() override {
        target_.reset();
        device_.reset();
        driver_.reset();
        fw_->Shutdown();
    }

    NTSTATUS OpenTarget(std::function<void(WDFIOTARGET)> onRemove = nullptr) {
        IoTargetOpenParams p;
        p.TargetDeviceName = slave_;
        p.DesiredAccess = 0x001F0000;
        p.EvtIoTargetRemoveComplete = std::move(onRemove);
        return target_->Open(p);
    }

    template <class T> NTSTATUS Ioctl(uint32_t code, const T& in) {
        size_t n = 0;
        return target_->SendIoctlSynchronously(
            code, std::span(reinterpret_cast<const uint8_t*>(&in), sizeof(T)), {}, &n);
    }

    // A request with its completion routine recording into `c`.
    WDFREQUEST NewRequest(Completion& c) {
        WDFREQUEST r;
        EXPECT_EQ(Request::Create({}, target_, &r), STATUS_SUCCESS);
        r->SetCompletionRoutine(
            [this, &c](WDFREQUEST, WDFIOTARGET, const RequestCompletionParams& p, void* context) {
                if (!fw_->loop().IsLoopThread() || context != &c) c.onLoop = false;
                std::lock_guard lock(c.m);
                c.seen.push_back(p);
            },
            &c);
        return r;
    }

    WDFREQUEST SendRead(Completion& c, size_t length = 1) {
        WDFREQUEST r = NewRequest(c);
        WDFMEMORY m;
        Memory::Create(length, &m);
        EXPECT_EQ(target_->FormatRequestForRead(r, m), STATUS_SUCCESS);
        EXPECT_TRUE(r->Send());
        return r;
    }

    std::string ReadMaster(size_t n) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + 3s;
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            ssize_t got = ::read(master_.get(), buf, std::min(sizeof(buf), n - out.size()));
            if (got > 0) out.append(buf, static_cast<size_t>(got));
        }
        return out;
    }

    UniqueFd master_;
    std::string slave_;
    std::unique_ptr<Framework> fw_;
    WDFDRIVER driver_;
    WDFDEVICE device_;
    WDFIOTARGET target_;
};

} // namespace

TEST_F(IoTargetTest, TheHartSettingsApplyAndModemLineCallsOnAPseudoTerminalAreIgnored) {
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    EXPECT_EQ(target_->GetState(), IoTargetState::Started);
    EXPECT_EQ(
        Ioctl(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 0, 0}),
        STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{}), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{1200}), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, ODD_PARITY, 8}),
              STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_FIFO_CONTROL, SERIAL_IOC_FCR_FIFO_ENABLE), STATUS_SUCCESS);
    size_t n = 0;
    EXPECT_EQ(target_->SendIoctlSynchronously(IOCTL_SERIAL_SET_DTR, {}, {}, &n),
              STATUS_SUCCESS); // ENOTTY on a pty
    EXPECT_EQ(target_->SendIoctlSynchronously(IOCTL_SERIAL_CLR_RTS, {}, {}, &n), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_ERR), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);

    termios t{};
    ASSERT_EQ(::tcgetattr(master_.get(), &t), 0); // a pty master reports its slave's settings
    EXPECT_EQ(::cfgetospeed(&t), B1200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_lflag & ICANON, 0u); // raw
    SERIAL_BAUD_RATE rate{};
    EXPECT_EQ(target_->SendIoctlSynchronously(IOCTL_SERIAL_GET_BAUD_RATE, {},
                                              std::span(reinterpret_cast<uint8_t*>(&rate), 4), &n),
              STATUS_SUCCESS);
    EXPECT_EQ(rate.BaudRate, 1200u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{1234}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, 9, 8}),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(target_->SendIoctlSynchronously(IOCTL_SERIAL_SET_BAUD_RATE, {}, {}, &n),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(target_->SendIoctlSynchronously(0x001B0FFC, {}, {}, &n), STATUS_INVALID_DEVICE_REQUEST);
}

// Settings another program left on the port (IGNPAR would drop characters with line errors, IXANY
// and ICRNL would act on data) do not survive the open: the line is built from zero, with INPCK|PARMRK.
TEST_F(IoTargetTest, SettingsLeftOnThePortDoNotSurvive) {
    termios t{};
    ASSERT_EQ(::tcgetattr(master_.get(), &t), 0);
    t.c_iflag |= IGNPAR | IXANY | IXON | ICRNL;
    t.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(::tcsetattr(master_.get(), TCSANOW, &t), 0);
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    ASSERT_EQ(::tcgetattr(master_.get(), &t), 0);
    EXPECT_EQ(t.c_iflag & (IGNPAR | IXANY | IXON | ICRNL), 0u);
    EXPECT_EQ(t.c_iflag & (INPCK | PARMRK), static_cast<tcflag_t>(INPCK | PARMRK));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    // Odd parity on a pseudo-terminal, which drops parity, is taken all the same (not read back there).
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, ODD_PARITY, 8}),
              STATUS_SUCCESS);
}

TEST_F(IoTargetTest, APortHeldElsewhereOrMissingIsNotOpened) {
    zelhart::platform::ExclusiveSerialPort holder;
    ASSERT_EQ(holder.Open(slave_), 0);
    EXPECT_EQ(OpenTarget(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(target_->GetState(), IoTargetState::Closed);
    holder.Close();
    IoTargetOpenParams p;
    p.TargetDeviceName = "/dev/nonexistent-tty";
    EXPECT_EQ(target_->Open(p), STATUS_OBJECT_NAME_NOT_FOUND);
    p.TargetDeviceName = "\\Device\\Serial0";
    EXPECT_EQ(target_->Open(p), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    EXPECT_EQ(OpenTarget(), STATUS_INVALID_DEVICE_STATE); // already open
    EXPECT_EQ(holder.Open(slave_), EBUSY);                // and held exclusively
}

TEST_F(IoTargetTest, AWrittenFrameAppearsOnTheLineAndCompletesOnTheLoop) {
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    Completion c;
    WDFREQUEST write = NewRequest(c);
    std::string frame(284, '\0');
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<char>(i < 5 ? 0xFF : i);
    WDFMEMORY m;
    ASSERT_EQ(Memory::Create(frame.size(), &m), STATUS_SUCCESS);
    m->CopyFromBuffer(0, frame.data(), frame.size());
    ASSERT_EQ(target_->FormatRequestForWrite(write, m), STATUS_SUCCESS);
    ASSERT_TRUE(write->Send());
    EXPECT_EQ(ReadMaster(frame.size()), frame);
    ASSERT_TRUE(WaitUntil([&] { return c.count() == 1; }));
    EXPECT_EQ(c.at(0).Status, STATUS_SUCCESS);
    EXPECT_EQ(c.at(0).Information, frame.size());
    EXPECT_EQ(c.at(0).Type, RequestType::Write);
    EXPECT_TRUE(c.onLoop);
    // The request is reused for the next frame.
    ASSERT_EQ(write->Reuse(), STATUS_SUCCESS);
    WDFMEMORY two;
    Memory::Create(2, &two);
    two->CopyFromBuffer(0, "\x02\x80", 2);
    ASSERT_EQ(target_->FormatRequestForWrite(write, two), STATUS_SUCCESS);
    ASSERT_TRUE(write->Send());
    EXPECT_EQ(ReadMaster(2), "\x02\x80");
    EXPECT_TRUE(WaitUntil([&] { return c.count() == 2; }));
}

TEST_F(IoTargetTest, OneByteReadsCompleteOneCharacterEach) {
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    Completion c;
    std::string sent = "\xFF\xFF\x06\x80";
    std::string got;
    WDFREQUEST first = SendRead(c);
    ASSERT_EQ(::write(master_.get(), sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_TRUE(WaitUntil([&] { return c.count() == i + 1; })) << i;
        auto p = c.at(i);
        EXPECT_EQ(p.Status, STATUS_SUCCESS);
        ASSERT_EQ(p.Information, 1u);
        got += static_cast<char>(static_cast<uint8_t*>(p.Buffer->GetBuffer())[0]);
        if (i + 1 < sent.size()) SendRead(c);
    }
    EXPECT_EQ(got, sent); // 0xFF, which the line marks twice over, arrives once
    EXPECT_TRUE(c.onLoop);
}

TEST_F(IoTargetTest, ACancelledReadCompletesCancelledOnceAndADeletedOneNotAtAll) {
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    Completion c;
    WDFREQUEST read = SendRead(c);
    EXPECT_TRUE(read->CancelSentRequest());
    EXPECT_FALSE(read->CancelSentRequest());
    ASSERT_TRUE(WaitUntil([&] { return c.count() == 1; }));
    EXPECT_EQ(c.at(0).Status, STATUS_CANCELLED);
    EXPECT_EQ(c.at(0).Information, 0u);

    Completion d;
    WDFREQUEST doomed = SendRead(d);
    doomed->Delete();
    ASSERT_EQ(::write(master_.get(), "A", 1), 1);
    WDFREQUEST next = SendRead(c); // takes the 'A' the deleted read would have had
    ASSERT_TRUE(WaitUntil([&] { return c.count() == 2; }));
    EXPECT_EQ(static_cast<uint8_t*>(c.at(1).Buffer->GetBuffer())[0], 'A');
    fw_->RunOnLoop([] {});
    EXPECT_EQ(d.count(), 0u);
}

TEST_F(IoTargetTest, PurgeAbortsReadsAndStopRefusesNewRequests) {
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    Completion c;
    SendRead(c);
    SendRead(c);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return c.count() == 2; }));
    EXPECT_EQ(c.at(0).Status, STATUS_CANCELLED);
    EXPECT_EQ(c.at(1).Status, STATUS_CANCELLED);

    target_->Stop(IoTargetSentIoAction::CancelSentIo);
    EXPECT_EQ(target_->GetState(), IoTargetState::Stopped);
    WDFREQUEST r = NewRequest(c);
    WDFMEMORY m;
    Memory::Create(1, &m);
    target_->FormatRequestForRead(r, m);
    EXPECT_FALSE(r->Send());
    EXPECT_EQ(r->GetStatus(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(target_->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(r->Send());
    ASSERT_EQ(::write(master_.get(), "z", 1), 1);
    ASSERT_TRUE(WaitUntil([&] { return c.count() == 3; }));
    EXPECT_EQ(c.at(2).Status, STATUS_SUCCESS);
}

TEST_F(IoTargetTest, AnAsynchronousIoctlCompletesThroughItsRoutine) {
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    Completion c;
    WDFREQUEST r = NewRequest(c);
    WDFMEMORY in;
    Memory::Create(4, &in);
    uint32_t rate = 9600;
    in->CopyFromBuffer(0, &rate, 4);
    ASSERT_EQ(target_->FormatRequestForIoctl(r, IOCTL_SERIAL_SET_BAUD_RATE, in, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(r->Send());
    ASSERT_TRUE(WaitUntil([&] { return c.count() == 1; }));
    EXPECT_EQ(c.at(0).Status, STATUS_SUCCESS);
    EXPECT_EQ(c.at(0).IoControlCode, IOCTL_SERIAL_SET_BAUD_RATE);
    termios t{};
    ::tcgetattr(master_.get(), &t);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
}

TEST_F(IoTargetTest, AHungUpLineIsAPortRemoval) {
    std::atomic<int> removals{0};
    std::atomic<bool> onLoop{false};
    ASSERT_EQ(OpenTarget([&](WDFIOTARGET t) {
                  removals++;
                  onLoop = fw_->loop().IsLoopThread() && t == target_;
              }),
              STATUS_SUCCESS);
    Completion c;
    SendRead(c);
    master_.reset(); // the simulator or the adapter goes away
    ASSERT_TRUE(WaitUntil([&] { return removals == 1; }));
    EXPECT_TRUE(onLoop);
    EXPECT_EQ(target_->GetState(), IoTargetState::Deleted);
    EXPECT_EQ(c.count(), 0u); // the read in flight waits for the driver to cancel it or close the target
    WDFREQUEST r = NewRequest(c);
    WDFMEMORY m;
    Memory::Create(1, &m);
    target_->FormatRequestForRead(r, m);
    EXPECT_FALSE(r->Send());
    EXPECT_EQ(r->GetStatus(), STATUS_INVALID_DEVICE_STATE);
    target_->Close();
    ASSERT_TRUE(WaitUntil([&] { return c.count() == 1; }));
    EXPECT_EQ(c.at(0).Status, STATUS_CANCELLED);
    EXPECT_EQ(target_->GetState(), IoTargetState::Closed);
    EXPECT_EQ(removals, 1);
}

TEST_F(IoTargetTest, DeletingTheDeviceClosesItsTargetAndReleasesThePort) {
    ASSERT_EQ(OpenTarget(), STATUS_SUCCESS);
    Completion c;
    SendRead(c);
    device_->Delete();
    EXPECT_EQ(target_->GetState(), IoTargetState::Closed);
    ASSERT_TRUE(WaitUntil([&] { return c.count() == 1; })); // the read in flight was cancelled
    EXPECT_EQ(c.at(0).Status, STATUS_CANCELLED);
    zelhart::platform::ExclusiveSerialPort again;
    EXPECT_EQ(again.Open(slave_), 0);
}

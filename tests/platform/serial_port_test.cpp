#include "zelhart/platform/serial_port.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

using namespace zelhart::platform;
using zelhart::testing::TempDir;

namespace {

// A pseudo-terminal pair standing in for a serial port: the test keeps the master side.
struct Pty {
    UniqueFd master;
    std::string slavePath;
    Pty() {
        int m = -1, s = -1;
        char name[128];
        if (::openpty(&m, &s, name, nullptr, nullptr) != 0) std::abort();
        master.reset(m);
        ::close(s);
        slavePath = name;
    }
};

} // namespace

TEST(ExclusiveSerialPort, SecondHolderIsRefusedUntilTheFirstCloses) {
    Pty pty;
    ExclusiveSerialPort first, second;
    ASSERT_EQ(first.Open(pty.slavePath), 0);
    EXPECT_TRUE(first.IsOpen());
    EXPECT_EQ(second.Open(pty.slavePath), EBUSY); // holds even for root and inside one process
    EXPECT_FALSE(second.IsOpen());
    first.Close();
    EXPECT_EQ(second.Open(pty.slavePath), 0);
}

TEST(ExclusiveSerialPort, MissingDeviceIsReported) {
    ExclusiveSerialPort port;
    EXPECT_EQ(port.Open("/nonexistent/ttyUSB9"), ENOENT);
}

TEST(ExclusiveSerialPort, MoveKeepsTheLock) {
    Pty pty;
    ExclusiveSerialPort a;
    ASSERT_EQ(a.Open(pty.slavePath), 0);
    ExclusiveSerialPort b = std::move(a);
    ExclusiveSerialPort c;
    EXPECT_EQ(c.Open(pty.slavePath), EBUSY);
    b.Close();
    EXPECT_EQ(c.Open(pty.slavePath), 0);
}

TEST(ComProbe, FreeBusyAndMissing) {
    TempDir root;
    Pty pty;
    SerialPortMapSources src{root / "ports", "", "", ""};
    ASSERT_EQ(RegisterComPort(src.portsDir, 4, pty.slavePath), 0);

    EXPECT_EQ(ProbeComPort(4, src), PortProbe::Free);
    EXPECT_EQ(ProbeComPort(5, src), PortProbe::Missing);
    {
        ExclusiveSerialPort holder;
        ASSERT_EQ(holder.Open(pty.slavePath), 0);
        EXPECT_EQ(ProbeComPort(4, src), PortProbe::Busy);
    }
    // The probe released the port: a real holder can take it afterwards.
    EXPECT_EQ(ProbeComPort(4, src), PortProbe::Free);
    ExclusiveSerialPort after;
    EXPECT_EQ(after.Open(pty.slavePath), 0);
}

#include "zelhart/platform/serial_port.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
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

// A user without the right to the device node (the daemon's port, a terminal of root's) is told
// NoAccess, not Busy: the daemon opens the port for it. Checked in a child that has dropped root.
TEST(ComProbe, ADeviceThisUserMayNotOpenIsNoAccessNotBusy) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to make a device another user cannot open";
    TempDir root;
    Pty pty;
    ASSERT_EQ(::chown(pty.slavePath.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(pty.slavePath.c_str(), 0600), 0);
    SerialPortMapSources src{root / "ports", "", "", ""};
    ASSERT_EQ(RegisterComPort(src.portsDir, 4, pty.slavePath), 0);
    ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        ::_exit(10 + int(ProbeComPort(4, src)) * 4 + int(ProbeComPort(5, src)));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    // 10 + probe of COM4 * 4 + probe of COM5: NoAccess (3) and Missing (2).
    EXPECT_EQ(WEXITSTATUS(status), 10 + int(PortProbe::NoAccess) * 4 + int(PortProbe::Missing));
    EXPECT_EQ(ProbeComPort(4, src), PortProbe::Free); // root may
}

// The probe reads the lock tables instead of opening the port: /proc/locks (a flock of any
// process, as above) and UUCP lock files, whose pid must be alive. Nothing opens the device.
TEST(ComProbe, LockFilesOfLiveProcessesMarkThePortBusyWithoutOpeningIt) {
    TempDir root;
    Pty pty;
    const std::string lockDir = root / "lock";
    ASSERT_EQ(::mkdir(lockDir.c_str(), 0755), 0);
    const PortLockSources locks{root / "no-proc-locks", {lockDir}};
    // /dev/pts/7 is locked as LCK..pts_7.
    const std::string lockFile = lockDir + "/LCK.." + [&] {
        std::string n = pty.slavePath.substr(5);
        for (char& c : n) if (c == '/') c = '_';
        return n;
    }();
    const int32_t self = int32_t(::getpid());
    std::string binarySelf(sizeof self, '\0');
    std::memcpy(binarySelf.data(), &self, sizeof self);
    struct Case {
        const char* what;
        std::string content; // empty: no lock file
        PortProbe want;
    } cases[] = {
        {"no lock file", "", PortProbe::Free},
        {"ASCII pid alive", "  " + std::to_string(self) + "\n", PortProbe::Busy},
        {"binary pid alive", binarySelf, PortProbe::Busy},
        {"pid gone", std::to_string(INT32_MAX - 1) + "\n", PortProbe::Free},
        {"garbage", "no pid here", PortProbe::Free},
    };
    for (const Case& c : cases) {
        ::unlink(lockFile.c_str());
        if (!c.content.empty()) std::ofstream(lockFile, std::ios::binary) << c.content;
        EXPECT_EQ(ProbeSerialDevice(pty.slavePath, locks), c.want) << c.what;
    }
    EXPECT_EQ(ProbeSerialDevice(root / "absent", locks), PortProbe::Missing);
}

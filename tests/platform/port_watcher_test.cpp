#include "zelhart/platform/port_watcher.h"
#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/socket_watcher.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

using namespace zelhart::platform;
using zelhart::testing::TempDir;
using Kind = PortEvent::Kind;

namespace {

constexpr auto kDeadline = std::chrono::seconds(5);

void Touch(const std::string& path) { std::ofstream(path) << ""; }

// Collects events until `count` have arrived or the deadline passes.
std::vector<PortEvent> Collect(PortWatcher& w, size_t count) {
    std::vector<PortEvent> all;
    auto end = std::chrono::steady_clock::now() + kDeadline;
    while (all.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !w.Wait(int(left.count()))) break;
        auto more = w.ReadEvents();
        all.insert(all.end(), more.begin(), more.end());
    }
    return all;
}

struct WatcherFixture : ::testing::Test {
    TempDir root;
    SerialPortMapSources src;
    void SetUp() override {
        for (auto d : {"ports", "dev", "elsewhere"}) ASSERT_TRUE(MakeDirs(root / d));
        src = {root / "ports", root / "etc/ports.conf", root / "dev", ""};
    }
    std::string Dev(const std::string& name) {
        Touch(root / name);
        return root / name;
    }
};

} // namespace

TEST_F(WatcherFixture, LinkAppearingAndDisappearingIsArrivalAndRemoval) {
    std::string dev = Dev("dev/pts-a");
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);
    EXPECT_TRUE(w.Current().empty());

    ASSERT_EQ(RegisterComPort(src.portsDir, 5, dev), 0);
    auto events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Arrival, "COM5", dev}));
    EXPECT_EQ(w.Current().at("COM5"), dev);

    ASSERT_EQ(UnregisterComPort(src.portsDir, 5), 0);
    events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Removal, "COM5", dev}));
    EXPECT_TRUE(w.Current().empty());
}

TEST_F(WatcherFixture, PortsPresentAtStartAreNotReported) {
    std::string dev = Dev("dev/pts-a");
    ASSERT_EQ(RegisterComPort(src.portsDir, 2, dev), 0);
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);
    EXPECT_EQ(w.Current().size(), 1u);
    EXPECT_TRUE(w.Rescan().empty());
}

TEST_F(WatcherFixture, LinkWhoseTargetVanishesCountsAsRemoval) {
    // The target lives outside the device directory, as a pseudo-terminal under /dev/pts does.
    std::string dev = Dev("elsewhere/pts-7");
    ASSERT_EQ(RegisterComPort(src.portsDir, 7, dev), 0);
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);

    ASSERT_EQ(::unlink(dev.c_str()), 0); // the link stays behind, stale
    auto events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Removal, "COM7", dev}));

    Touch(dev); // the same device comes back under the old link
    events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Arrival, "COM7", dev}));
}

TEST_F(WatcherFixture, LinkPointedElsewhereIsRemovalThenArrival) {
    std::string a = Dev("dev/pts-a"), b = Dev("dev/pts-b");
    ASSERT_EQ(RegisterComPort(src.portsDir, 3, a), 0);
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);
    ASSERT_EQ(RegisterComPort(src.portsDir, 3, b), 0);
    auto events = Collect(w, 2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Removal, "COM3", a}));
    EXPECT_EQ(events[1], (PortEvent{Kind::Arrival, "COM3", b}));
}

TEST_F(WatcherFixture, PortsDirectoryMadeAfterStartIsFollowed) {
    TempDir rt;
    src.portsDir = rt / "late/ports"; // neither it nor its parent exists yet
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);
    std::string dev = Dev("dev/pts-a");
    ASSERT_EQ(RegisterComPort(src.portsDir, 9, dev), 0); // makes both directories, then the link
    auto events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Arrival, "COM9", dev}));
}

TEST_F(WatcherFixture, DeviceNodesInTheDeviceDirectoryAreAutomaticPorts) {
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);
    std::string usb = Dev("dev/ttyUSB1"); // COM34
    auto events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Arrival, "COM34", usb}));
    ASSERT_EQ(::unlink(usb.c_str()), 0);
    events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Removal, "COM34", usb}));
}

TEST_F(WatcherFixture, StaticListEditedInPlaceIsFollowed) {
    std::string dev = Dev("elsewhere/adapter");
    ASSERT_TRUE(MakeDirs(root / "etc"));
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);
    std::ofstream(src.portsConf) << "COM12=" << dev << "\n";
    auto events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Arrival, "COM12", dev}));
}

TEST_F(WatcherFixture, ClosedPseudoTerminalIsRemoved) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    ASSERT_EQ(RegisterComPort(src.portsDir, 4, name), 0);
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);
    ASSERT_EQ(w.Current().count("COM4"), 1u);
    ::close(master); // the simulator dies: its /dev/pts entry goes, the link stays
    auto events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Removal, "COM4", std::string(name)}));
}

TEST(PortMapDiff, RemovalsComeFirstAndEachKindInComNumberOrder) {
    std::map<std::string, std::string> before{{"COM2", "/a"}, {"COM10", "/b"}, {"COM3", "/c"}};
    std::map<std::string, std::string> after{{"COM3", "/c"}, {"COM11", "/d"}, {"COM9", "/e"}};
    auto events = DiffPortMaps(before, after);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Removal, "COM2", "/a"}));
    EXPECT_EQ(events[1], (PortEvent{Kind::Removal, "COM10", "/b"}));
    EXPECT_EQ(events[2], (PortEvent{Kind::Arrival, "COM9", "/e"}));
    EXPECT_EQ(events[3], (PortEvent{Kind::Arrival, "COM11", "/d"}));
    EXPECT_TRUE(DiffPortMaps(after, after).empty());
}

namespace {

// Whether the watcher reports the file as appeared before the deadline (or, with a short one, now).
bool Appears(FileAppearanceWatcher& w, std::chrono::milliseconds within = kDeadline) {
    auto end = std::chrono::steady_clock::now() + within;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{w.fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return false;
        if (w.ReadEvents()) return true;
    }
}

} // namespace

// The daemon's socket: made in its directory, made again after a restart, and made together with
// its directory (and that directory's parent) by a daemon starting on a fresh runtime directory.
TEST(FileAppearance, CreatedRemovedAndCreatedAgainAlsoWithItsDirectories) {
    TempDir root;
    for (const std::string& dir : {root / "run", root / "fresh/run"}) {
        const bool made = dir == root / "run";
        if (made) {
            ASSERT_TRUE(MakeDirs(dir));
        }
        const std::string path = dir + "/zelhart.sock";
        FileAppearanceWatcher w(path);
        ASSERT_EQ(w.Start(), 0);
        if (!made) {
            ASSERT_TRUE(MakeDirs(dir));
        }
        Touch(dir + "/other.sock");
        EXPECT_FALSE(Appears(w, std::chrono::milliseconds(100))) << "another file";
        Touch(path);
        EXPECT_TRUE(Appears(w)) << path;
        ASSERT_EQ(::unlink(path.c_str()), 0);
        EXPECT_FALSE(Appears(w, std::chrono::milliseconds(100))) << "removed";
        Touch(path);
        EXPECT_TRUE(Appears(w)) << "made again";
    }
}

// A USB adapter named in ports.conf by its /dev/serial/by-id link: the kernel makes the device node
// first (its automatic COM33 arrives), udev the link afterwards, in a directory that did not exist
// before. The link alone, with nothing else changing, must move the port to its stable name.
// Reads what the watcher reports until it has been quiet for 100 ms.
void Settle(PortWatcher& w) {
    while (w.Wait(100)) w.ReadEvents();
}

TEST_F(WatcherFixture, StableLinkAppearingAfterItsDeviceNodeIsNoticedAtOnce) {
    const std::string byId = root / "dev/serial/by-id";
    const std::string link = byId + "/usb-FTDI_HART_Modem_A1-if00-port0";
    ASSERT_TRUE(MakeDirs(root / "etc"));
    std::ofstream(src.portsConf) << "COM3=" << link << "\n";
    PortWatcher w(src);
    ASSERT_EQ(w.Start(), 0);

    const std::string node = Dev("dev/ttyUSB0");
    auto events = Collect(w, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Arrival, "COM33", node}));

    // udev's directories first, drained, then the link on its own.
    ASSERT_TRUE(MakeDirs(byId));
    Settle(w);
    ASSERT_EQ(::symlink("../../ttyUSB0", link.c_str()), 0);
    events = Collect(w, 2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], (PortEvent{Kind::Removal, "COM33", node}));
    EXPECT_EQ(events[1], (PortEvent{Kind::Arrival, "COM3", link}));

    // Unplugged: udev removes the link and its directories, the kernel the node.
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::rmdir(byId.c_str()), 0);
    ASSERT_EQ(::rmdir((root / "dev/serial").c_str()), 0);
    ASSERT_EQ(::unlink(node.c_str()), 0);
    events = Collect(w, 1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0], (PortEvent{Kind::Removal, "COM3", link}));
    EXPECT_TRUE(w.Current().empty());

    // Plugged in again: the directories and the link come back, and are seen again.
    Dev("dev/ttyUSB0");
    Settle(w);
    ASSERT_TRUE(MakeDirs(byId));
    Settle(w);
    ASSERT_EQ(::symlink("../../ttyUSB0", link.c_str()), 0);
    events = Collect(w, 2);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (PortEvent{Kind::Arrival, "COM3", link}));
}

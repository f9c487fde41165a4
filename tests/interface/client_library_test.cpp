// The library with its real device I/O (the driver's socket client) against the fake HART daemon:
// an exchange, the configuration words reaching the device, a device and a whole daemon going away
// and coming back, and many devices at once (the ThreadSanitizer build runs this too).
#include "client_device_io.h"
#include "fake_hart_daemon.h"
#include "library.h"

#include "temp_dir.h"
#include "zelhart/hart_api.h"
#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/serial_port_map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace zelhart::hartif::testing {
namespace {

using namespace std::chrono_literals;

// A short frame to polling address 0; `master` is the master bit of the address (0x80 primary).
HartMessage Request(uint16_t tag, uint8_t command, uint8_t master = HART_SECONDARY_MASTER) {
    HartMessage m{};
    const uint8_t frame[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, master, command, 0x00, uint8_t(0x02 ^ master ^ command)};
    std::memcpy(m.Data, frame, sizeof(frame));
    m.Length = sizeof(frame);
    m.RequestTag = tag;
    return m;
}

class ClientLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ZELHART_RUNTIME_DIR", root.path().c_str(), 1);
        ASSERT_TRUE(platform::MakeDirs(root / "ports"));
        ASSERT_TRUE(platform::MakeDirs(root / "dev"));
        sources = {root / "ports", "", root / "dev", ""};
    }
    void TearDown() override {
        LibraryDetach();
        ::unsetenv("ZELHART_RUNTIME_DIR");
    }

    void Attach() { LibraryAttach({MakeClientDeviceIo(), sources, true, {}}); }
    // COM<port> appears in the port map (a link to a plain file stands for the serial device).
    void PlugPort(int port) {
        std::string tty = root / ("dev/tty-" + std::to_string(port) + "-" + std::to_string(++plugs));
        std::ofstream(tty) << "";
        ASSERT_EQ(platform::RegisterComPort(sources.portsDir, port, tty), 0);
    }
    // The port goes and comes back on another device (as a simulator restarted gets another
    // pseudo-terminal), so the watcher sees a removal and an arrival however fast this runs.
    void ReplugPort(int port) {
        ASSERT_EQ(platform::UnregisterComPort(sources.portsDir, port), 0);
        PlugPort(port);
    }

    uint16_t Open(int port) {
        uint16_t index = 0xFFFF;
        EXPECT_EQ(hart_open(("HART" + std::to_string(port)).c_str(), &index), HDRV_SUCCESS);
        return index;
    }
    // The next record, waiting (bounded) for the communication thread to queue it.
    static bool NextRecord(uint16_t index, HartMessage* record, std::chrono::milliseconds timeout = 5s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int32_t rc = hart_read(index, record);
            if (rc != HDRV_NO_MESSAGE) return rc == HDRV_SUCCESS;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
    }
    // One request and its answer: the slave reply, tagged.
    static void ExpectExchange(uint16_t index, uint16_t tag, uint8_t command,
                               uint8_t master = HART_SECONDARY_MASTER) {
        HartMessage request = Request(tag, command, master);
        ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
        HartMessage record{};
        ASSERT_TRUE(NextRecord(index, &record)) << "no answer to tag " << tag;
        std::vector<uint8_t> expected = FakeReplyTo(request.Data, request.Length);
        EXPECT_EQ(std::vector<uint8_t>(record.Data, record.Data + record.Length), expected) << "tag " << tag;
        EXPECT_EQ(record.Status, HART_STATUS_SLAVE_REPLY);
        EXPECT_EQ(record.RequestTag, tag);
        EXPECT_EQ(record.Error, HART_ERROR_NONE);
    }
    static void ExpectWriteFailure(uint16_t index, uint16_t tag) {
        HartMessage request = Request(tag, 0);
        ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
        HartMessage record{};
        ASSERT_TRUE(NextRecord(index, &record));
        EXPECT_EQ(record.Length, 0);
        EXPECT_EQ(record.Status, HART_STATUS_SLAVE_REPLY);
        EXPECT_EQ(record.RequestTag, tag);
        EXPECT_EQ(record.Error, HART_ERROR_WRITE);
    }
    static void ExpectDeviceBack(uint16_t index) {
        HartMessage record{};
        record.Length = 99;
        ASSERT_TRUE(NextRecord(index, &record)) << "no \"device is back\" record";
        EXPECT_EQ(record.Length, 0);
        EXPECT_EQ(record.Status, 0);
        EXPECT_EQ(record.RequestTag, 0);
        EXPECT_EQ(record.Error, 0);
    }
    std::shared_ptr<CHartModemController> Controller(uint16_t index) { return CurrentLibrary()->Table().Get(index); }
    bool WaitNotPresent(uint16_t index) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (Controller(index)->IsPresent())
            if (std::chrono::steady_clock::now() >= deadline) return false;
            else std::this_thread::sleep_for(1ms);
        return true;
    }

    zelhart::testing::TempDir root;
    platform::SerialPortMapSources sources;
    FakeHartDaemon daemon;
    int plugs = 0;
};

TEST_F(ClientLibraryTest, ExchangeThroughTheDaemonCarriesTheProgramsConfigurationWords) {
    ASSERT_EQ(daemon.Start({3}), "");
    Attach();
    uint16_t index = Open(3);
    EXPECT_TRUE(Controller(index)->IsPresent());
    // The first connection runs as primary master with 2 retries, until the program configures.
    EXPECT_EQ(daemon.Protocol(3), (HartProtocolInfo{0, HART_PRIMARY_MASTER, 2}));
    HartConfig config{0x00600000, 0x00060004}; // as the program passes them: secondary master, 4 retries
    ASSERT_EQ(hart_configure(index, &config), HDRV_SUCCESS);
    EXPECT_EQ(daemon.Protocol(3), (HartProtocolInfo{0, HART_SECONDARY_MASTER, 4}));
    EXPECT_EQ(daemon.ReadMask(3), RCV_MASK_ACK_THIS_MASTER);

    ExpectExchange(index, 0x1234, 13);
    // A request the slave never answers: the driver's failed write is a failure record.
    HartMessage silent = Request(0x55, kSilentCommand);
    ASSERT_EQ(hart_write(index, &silent), HDRV_SUCCESS);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Error, HART_ERROR_WRITE);
    EXPECT_EQ(record.RequestTag, 0x55);
    // An unsolicited burst frame goes to the caller with tag 0.
    ASSERT_EQ(hart_subscribe(index, 0x10), HDRV_SUCCESS); // burst frames of the other master
    const std::vector<uint8_t> burst{0x81, 0xA6, 0x4E, 0x12, 0x34, 0x56, 0x01, 0x02, 0x00, 0x00, 0x00};
    ASSERT_EQ(daemon.DeliverFrame(3, burst), ERROR_SUCCESS);
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(std::vector<uint8_t>(record.Data, record.Data + record.Length), burst);
    EXPECT_EQ(record.Status, 0x01 | HART_STATUS_OTHER_MASTER) << "address 0xA6 is the primary's, we are secondary";
    EXPECT_EQ(record.RequestTag, 0);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
}

TEST_F(ClientLibraryTest, DeviceRemovedUnderAnOpenHandleComesBackWithTheRememberedConfiguration) {
    ASSERT_EQ(daemon.Start(), "");
    PlugPort(4);
    Attach();
    uint16_t index = Open(4); // no HART device yet: the port is announced at open
    ExpectDeviceBack(index);
    HartConfig config{0x00, 0x04};
    ASSERT_EQ(hart_configure(index, &config), HDRV_SUCCESS);
    ExpectExchange(index, 1, 0);

    ASSERT_EQ(daemon.RemoveDevice(4), ERROR_SUCCESS); // the read ends aborted: not present, no record
    ASSERT_TRUE(WaitNotPresent(index));
    HartMessage none{};
    EXPECT_EQ(hart_read(index, &none), HDRV_NO_MESSAGE);
    ExpectWriteFailure(index, 2);

    ReplugPort(4); // the port goes and comes again: announced, the device is made, the library reconnects
    ExpectDeviceBack(index);
    EXPECT_EQ(daemon.Protocol(4), (HartProtocolInfo{0, HART_SECONDARY_MASTER, 4}));
    ExpectExchange(index, 3, 1);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
}

TEST_F(ClientLibraryTest, DaemonThatDiesAndStartsAgainIsFoundAgainByItsSocket) {
    ASSERT_EQ(daemon.Start(), "");
    PlugPort(6);
    Attach();
    uint16_t index = Open(6);
    ExpectDeviceBack(index);
    ExpectExchange(index, 1, 0, HART_PRIMARY_MASTER); // never configured: primary master

    daemon.Kill();
    ASSERT_TRUE(WaitNotPresent(index));
    ExpectWriteFailure(index, 2);

    // A new daemon knows no ports: the library sees its socket appear, opens the function device
    // anew and announces the port, and the device comes back without being reopened.
    ASSERT_EQ(daemon.Start(), "");
    ExpectDeviceBack(index);
    EXPECT_EQ(daemon.Protocol(6), (HartProtocolInfo{0, HART_PRIMARY_MASTER, 2}));
    ExpectExchange(index, 3, 2, HART_PRIMARY_MASTER);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
}

TEST_F(ClientLibraryTest, ManyDevicesExchangeAtOnceWhileTheirConfigurationChanges) {
    const std::vector<int> ports{1, 2, 3, 4};
    ASSERT_EQ(daemon.Start(std::vector<int>(ports)), "");
    Attach();
    std::vector<uint16_t> indexes;
    HartConfig config{0x00, 0x04};
    for (int port : ports) {
        indexes.push_back(Open(port));
        ASSERT_EQ(hart_configure(indexes.back(), &config), HDRV_SUCCESS);
    }
    std::atomic<bool> done{false};
    std::thread configurer([&] {
        while (!done)
            for (uint16_t index : indexes) hart_configure(index, &config);
    });
    std::vector<std::thread> talkers;
    for (uint16_t index : indexes)
        talkers.emplace_back([index] {
            for (uint16_t tag = 1; tag <= 25; ++tag) ExpectExchange(index, tag, uint8_t(tag));
        });
    for (auto& t : talkers) t.join();
    done = true;
    configurer.join();
    for (int port : ports) EXPECT_EQ(daemon.WriteCount(port), 25u);
    for (uint16_t index : indexes) EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
}

} // namespace
} // namespace zelhart::hartif::testing

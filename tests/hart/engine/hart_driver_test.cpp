// CHARTDriver through the real dlopen path, against the interface library double.
#include "hart/driver_socket.h"
#include "hart/hart_driver.h"
#include "interface_double.h"
#include "link_environment.h"
#include "open_watch.h"

#include <zelhart/platform/iomgr_protocol.h>
#include <zelhart/platform/iomgr_socket.h>
#include <zelhart/platform/runtime_dir.h>
#include <zelhart/platform/serial_port.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace zelhart::hart {
namespace {

using testing::InterfaceDouble;
using testing::LinkEnvironment;

const std::vector<uint8_t> kIdentityRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB};

class HartDriverTest : public ::testing::Test {
  protected:
    LinkEnvironment env;
    InterfaceDouble lib{testing::kDoublePath};

    // The double under the driver library's file name stands for the library that needs the daemon.
    void UseDoubleAsTheDriversLibrary() {
        const std::string asDriverLibrary = platform::RuntimeDir() + "/" + kInterfaceLibraryName;
        std::filesystem::copy_file(testing::kDoublePath, asDriverLibrary);
        env.UseLibrary(asDriverLibrary);
    }
    // A listening socket where the daemon's would be; invalid when it could not be made.
    static platform::UniqueFd ListenAt(const std::string& path) {
        platform::UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener.get(), 4) != 0)
            return {};
        return listener;
    }
};

TEST_F(HartDriverTest, LoadingReportsTheLastMissingExport) {
    CHARTDriver driver;
    EXPECT_EQ(driver.LoadInterfaceLibrary(), 0);
    env.UseLibrary(testing::kDoubleWithoutClosePath);
    EXPECT_EQ(driver.LoadInterfaceLibrary(), 7);
    env.UseLibrary(testing::kDoubleWithoutOpenSubscribePath);
    EXPECT_EQ(driver.LoadInterfaceLibrary(), 3); // hart_open (1) and hart_subscribe (3) are missing
    env.UseLibrary(platform::RuntimeDir() + "/absent.so");
    EXPECT_EQ(driver.LoadInterfaceLibrary(), 0); // not loadable at all: 0, nothing bound
    EXPECT_EQ(driver.ConfigurePort(), CHARTDriver::kNotBound);
}

TEST_F(HartDriverTest, PortTwelveOpensHart12WithTheIndexTheLibraryGave) {
    lib.Load("index 5\n");
    env.AddPort(12);
    CHARTDriver driver;
    ASSERT_EQ(driver.OpenPort(12), 0);
    EXPECT_TRUE(driver.IsBound());
    EXPECT_EQ(lib.LastOpenName(), "HART12");
    EXPECT_EQ(driver.DeviceIndex(), 5);
    EXPECT_EQ(driver.ConfigurePort(), 0);
    EXPECT_EQ(lib.LastIndex(), 5);
    EXPECT_EQ(driver.ClosePort(), 0);
    EXPECT_FALSE(lib.IsOpen());
}

TEST_F(HartDriverTest, ConfigurationRecordIsSecondaryMasterWithFourRetries) {
    env.AddPort(1);
    CHARTDriver driver;
    ASSERT_EQ(driver.OpenPort(1), 0);
    ASSERT_EQ(driver.ConfigurePort(), 0);
    HartConfig config{};
    ASSERT_TRUE(lib.LastConfig(config));
    uint8_t bytes[8];
    std::memcpy(bytes, &config, sizeof bytes);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 8),
              (std::vector<uint8_t>{0, 0, 0x60, 0, 0x04, 0, 0x06, 0}));
}

TEST_F(HartDriverTest, UnusablePortIsRefusedBeforeTheLibraryIsAsked) {
    CHARTDriver driver;
    EXPECT_EQ(driver.OpenPort(203), CHARTDriver::kPortUnusable); // COM203 is not in the map
    std::string path = env.AddPort(203);
    platform::ExclusiveSerialPort holder;
    ASSERT_EQ(holder.Open(path), 0);
    EXPECT_EQ(driver.OpenPort(203), CHARTDriver::kPortUnusable); // held by another
    EXPECT_EQ(lib.Calls("hart_open"), 0);
    holder.Close();
    EXPECT_EQ(driver.OpenPort(203), 0);
}

// The program asks the port map and the lock tables; the daemon alone opens the port (an open here
// would raise and drop DTR and RTS just before the daemon's own open: a carrier burst, a line-powered
// modem losing its power).
TEST_F(HartDriverTest, OpeningTheLinkNeverOpensThePortsDevice) {
    const std::string path = env.AddPort(3);
    zelhart::testing::OpenWatch opens(path);
    CHARTDriver driver;
    ASSERT_EQ(driver.OpenPort(3), 0);
    EXPECT_EQ(driver.ClosePort(), 0);
    EXPECT_EQ(opens.Opens(), 0);
}

TEST_F(HartDriverTest, MissingLibraryIsTriedAgainAtTheNextOpen) {
    env.AddPort(1);
    env.UseLibrary(platform::RuntimeDir() + "/absent.so");
    CHARTDriver driver;
    EXPECT_EQ(driver.OpenPort(1), CHARTDriver::kNotBound);
    EXPECT_FALSE(driver.IsBound());
    EXPECT_EQ(driver.WriteRequest(), CHARTDriver::kNotBound);
    EXPECT_EQ(driver.ClosePort(), CHARTDriver::kNotBound);
    env.UseLibrary(testing::kDoublePath);
    EXPECT_EQ(driver.OpenPort(1), 0);
    EXPECT_EQ(lib.Calls("hart_open"), 1);
}

TEST_F(HartDriverTest, LibraryWithoutAnExportIsRefused) {
    env.AddPort(1);
    env.UseLibrary(testing::kDoubleWithoutClosePath);
    CHARTDriver driver;
    EXPECT_EQ(driver.OpenPort(1), CHARTDriver::kPortUnusable);
    EXPECT_FALSE(driver.IsBound());
}

TEST_F(HartDriverTest, OpenFailureOfTheLibraryIsPassedOn) {
    lib.Load("open -7\n");
    const std::string path = env.AddPort(1);
    ASSERT_EQ(::chmod(path.c_str(), 0620), 0);
    CHARTDriver driver;
    EXPECT_EQ(driver.OpenPort(1), HDRV_ALREADY_OPEN);
    // The second line names the device behind the port, its owner and mode: what to look at when
    // the daemon could not open it (a simulator's terminal of another user).
    const std::string failure = driver.LastFailure();
    EXPECT_TRUE(failure.starts_with("hart_open(\"HART1\") вернула -7; COM1 — это " + path + " (")) << failure;
    EXPECT_TRUE(failure.ends_with(", 0620)")) << failure;
}

TEST_F(HartDriverTest, TheDriversOwnLibraryOpensOnlyWithTheDaemonListening) {
    env.AddPort(1);
    UseDoubleAsTheDriversLibrary();
    const std::string socket = DriverSocketPath();
    const std::string notStarted = "Драйвер ZelHartDriver не запущен: никто не слушает сокет " + socket;
    CHARTDriver driver;
    EXPECT_EQ(driver.OpenPort(1), CHARTDriver::kNoDriver);
    EXPECT_EQ(driver.LastFailure(), notStarted);

    {
        const platform::UniqueFd listener = ListenAt(socket);
        ASSERT_TRUE(listener);
        EXPECT_EQ(ProbeDriverSocket(socket), 0);
        EXPECT_EQ(driver.OpenPort(1), 0);
        EXPECT_TRUE(driver.LastFailure().empty());
        EXPECT_EQ(driver.ClosePort(), 0);
    }
    // A socket left behind by a daemon that is gone.
    EXPECT_EQ(ProbeDriverSocket(socket), ECONNREFUSED);
    EXPECT_EQ(driver.OpenPort(1), CHARTDriver::kNoDriver);
    EXPECT_EQ(driver.LastFailure(), notStarted);
    EXPECT_EQ(ProbeDriverSocket(std::string(200, 'x')), ENAMETOOLONG);

    // Stand-ins under other names bring their own transport: no daemon is asked for.
    ::unlink(socket.c_str());
    env.UseLibrary(testing::kDoublePath);
    CHARTDriver standIn;
    EXPECT_EQ(standIn.OpenPort(1), 0);
}

// A user outside the daemon's group: the daemon answers the hello with a refusal, and the program
// says why instead of a bare failure.
TEST_F(HartDriverTest, AUserOutsideTheDaemonsGroupIsToldSo) {
    env.AddPort(1);
    UseDoubleAsTheDriversLibrary();
    const std::string socket = DriverSocketPath();
    const platform::UniqueFd listener = ListenAt(socket);
    ASSERT_TRUE(listener);
    namespace iomgr = platform::iomgr;
    std::thread daemon([&] { // refuses each of two clients after its hello
        for (int i = 0; i < 2; ++i) {
            platform::UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            std::vector<uint8_t> buffer(iomgr::kMaxMessageSize + 1);
            size_t length = 0;
            if (!client || iomgr::ReceivePacket(client.get(), buffer, &length, nullptr) != iomgr::ReceiveResult::Packet) return;
            iomgr::SendPacket(client.get(), iomgr::Encode(iomgr::HelloReplyRecord{iomgr::kProtocolMagic, iomgr::kProtocolVersion,
                                                                                  0, STATUS_PRIVILEGE_NOT_HELD}));
        }
    });
    EXPECT_EQ(ProbeDriverSocket(socket), EACCES);
    CHARTDriver driver;
    EXPECT_EQ(driver.OpenPort(1), CHARTDriver::kNoDriver);
    EXPECT_EQ(driver.LastFailure(),
              "Нет доступа к драйверу ZelHartDriver: вы не входите в группу zelhart (сокет " + socket + ")");
    daemon.join();
}

TEST_F(HartDriverTest, RequestGoesOutAsOneRecordAndTheAnswerComesBack) {
    lib.Load("step answer 0 0 FE 99 FC | fail -1\n");
    env.AddPort(1);
    CHARTDriver driver;
    ASSERT_EQ(driver.OpenPort(1), 0);
    driver.SetRequest(kIdentityRequest);
    ASSERT_EQ(driver.WriteRequest(), 0);
    HartMessage sent = lib.SentRecord(0);
    EXPECT_EQ(sent.Length, kIdentityRequest.size());
    EXPECT_EQ(sent.Status, 0);
    EXPECT_EQ(sent.RequestTag, 0);
    EXPECT_EQ(sent.Error, 0);
    EXPECT_EQ(std::vector<uint8_t>(sent.Data, sent.Data + sent.Length), kIdentityRequest);

    std::array<uint8_t, HART_MESSAGE_DATA_SIZE> buffer;
    buffer.fill(0xEE);
    ASSERT_EQ(driver.ReadResponse(buffer), 10u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 10),
              (std::vector<uint8_t>{0x06, 0x00, 0xF9, 5, 0, 0, 0xFE, 0x99, 0xFC, 0x61}));
    EXPECT_EQ(buffer[10], 0);                   // the rest of the record is zero, not what was there
    EXPECT_EQ(driver.ReadResponse(buffer), 0u); // a failure record carries no bytes
    EXPECT_EQ(driver.ReadResponse(buffer), 0u); // nothing waiting
}

TEST_F(HartDriverTest, OverlongRequestIsCutToTheRecord) {
    env.AddPort(1);
    CHARTDriver driver;
    ASSERT_EQ(driver.OpenPort(1), 0);
    std::vector<uint8_t> huge(400, 0x5A);
    driver.SetRequest(huge);
    ASSERT_EQ(driver.WriteRequest(), 0);
    EXPECT_EQ(lib.SentRecord(0).Length, HART_MESSAGE_DATA_SIZE);
}

TEST_F(HartDriverTest, DrainDiscardsAtMostTwelveRecords) {
    std::string step = "step answer 0 0";
    for (int i = 1; i < 15; ++i)
        step += " | answer 0 0";
    lib.Load(step + "\n");
    env.AddPort(1);
    CHARTDriver driver;
    ASSERT_EQ(driver.OpenPort(1), 0);
    driver.SetRequest(kIdentityRequest);
    ASSERT_EQ(driver.WriteRequest(), 0);
    ASSERT_EQ(lib.Queued(), 15);
    driver.DrainInput();
    EXPECT_EQ(lib.Queued(), 3);
    driver.DrainInput();
    EXPECT_EQ(lib.Queued(), 0);
    EXPECT_EQ(lib.Calls("hart_read"), 12 + 4); // the second drain stops at the first empty read
}

} // namespace
} // namespace zelhart::hart

// The seven exports on a remote port, against a fake HART-IP server on loopback that answers with the
// simulator's transmitter model: the exchange, the error statuses, the lost connection, and a whole
// 4810cli read whose saved file equals the one read from the same transmitter model locally.
#include "fake_hartip_server.h"

#include "hartip_device_io.h"
#include "library.h"

#include "temp_dir.h"
#include "zelhart/hart_api.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/unique_fd.h"
#include "zelhart/sim/child_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <fstream>
#include <sstream>
#include <thread>

namespace zelhart::hartif::testing {
namespace {

using namespace std::chrono_literals;
namespace st = hartip::status;

// Command 0 at polling address 0 from a secondary master, with five preambles.
HartMessage IdentityRequest(uint16_t tag) {
    HartMessage m{};
    const uint8_t frame[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x02};
    std::memcpy(m.Data, frame, sizeof(frame));
    m.Length = sizeof(frame);
    m.RequestTag = tag;
    return m;
}

bool NextRecord(uint16_t index, HartMessage* record, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (hart_read(index, record) != HDRV_SUCCESS) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

struct RecordSummary {
    uint16_t length, status, tag;
    int16_t error;
    bool operator==(const RecordSummary&) const = default;
};
std::ostream& operator<<(std::ostream& o, const RecordSummary& r) {
    return o << "{length " << r.length << " status " << r.status << " tag " << r.tag << " error " << r.error << "}";
}

class HartIpClientTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { Start(); }
    void TearDown() override {
        LibraryDetach();
        SetHartIpTimings({});
    }

    void Start() {
        server = std::make_unique<FakeHartIpServer>();
        std::ofstream(dir / "ports.conf") << "COM300=" << GetParam() << "://127.0.0.1:" << server->port() << "\n";
        LibraryOptions options;
        options.deviceIo = MakeNoDriverDeviceIo();
        options.portSources = platform::SerialPortMapSources{dir / "ports", dir / "ports.conf", "", ""};
        options.watchPorts = false;
        options.daemonSocket = "";
        SetHartIpTimings({1000, 2000, 30000});
        LibraryAttach(options);
    }
    bool Present(uint16_t index) {
        auto controller = CurrentLibrary()->Table().Get(index);
        return controller && controller->IsPresent();
    }
    bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    uint16_t OpenConfigured() {
        uint16_t index = 999;
        EXPECT_EQ(hart_open("HART300", &index), HDRV_SUCCESS);
        const HartConfig secondary{0x00, 4};
        EXPECT_EQ(hart_configure(index, &secondary), HDRV_SUCCESS);
        return index;
    }
    void ExpectExchange(uint16_t index, uint16_t tag) {
        HartMessage request = IdentityRequest(tag), record{};
        ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
        ASSERT_TRUE(NextRecord(index, &record)) << "no answer to " << tag;
        EXPECT_EQ((RecordSummary{record.Length, record.Status, record.RequestTag, record.Error}),
                  (RecordSummary{record.Length, HART_STATUS_SLAVE_REPLY, tag, HART_ERROR_NONE}));
        ASSERT_GT(record.Length, 8);
        EXPECT_EQ(record.Data[0], 0x06) << "the answer frame, from its delimiter";
        EXPECT_EQ(record.Data[2], 0) << "command 0";
        EXPECT_EQ(record.Data[4], 0) << "response code";
        EXPECT_EQ(record.Data[6], 254);
    }
    // Every record that comes within the time, summarised.
    std::vector<RecordSummary> Records(uint16_t index, std::chrono::milliseconds quiet = 300ms) {
        std::vector<RecordSummary> out;
        HartMessage r{};
        while (NextRecord(index, &r, quiet)) out.push_back({r.Length, r.Status, r.RequestTag, r.Error});
        return out;
    }

    zelhart::testing::TempDir dir;
    std::unique_ptr<FakeHartIpServer> server;
};

TEST_P(HartIpClientTest, AnExchangeIsOneTokenPassingPduWithoutPreambles) {
    const uint16_t index = OpenConfigured();
    EXPECT_TRUE(Present(index));
    ExpectExchange(index, 7);
    ExpectExchange(index, 8);
    const std::vector<uint8_t> sent{0x02, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ(server->Frames(), (std::vector<std::vector<uint8_t>>{sent, sent}));
    EXPECT_EQ(server->SessionMasterTypes(), std::vector<uint8_t>{0}) << "one session, as a secondary master";
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
    EXPECT_TRUE(Eventually([&] { return server->SessionCloses() == 1; })) << "the session is closed";

    // A caller that leaves the library's first configuration (primary master) gets a primary session.
    uint16_t second = 999;
    ASSERT_EQ(hart_open("HART300", &second), HDRV_SUCCESS);
    HartMessage request = IdentityRequest(9), record{};
    ASSERT_EQ(hart_write(second, &request), HDRV_SUCCESS);
    ASSERT_TRUE(NextRecord(second, &record));
    EXPECT_EQ(record.Error, HART_ERROR_NONE);
    EXPECT_EQ(server->SessionMasterTypes(), (std::vector<uint8_t>{0, 0, 1}));
    EXPECT_EQ(hart_close(second), HDRV_SUCCESS);
}

TEST_P(HartIpClientTest, ALostSessionIsARemovedPortAndTheNextOpenStartsAnother) {
    const uint16_t index = OpenConfigured();
    ExpectExchange(index, 1);
    const uint16_t port = server->port();
    server->Stop();
    if (GetParam() == "hartip+tcp") {
        // The closed connection is seen at once, without a request.
        EXPECT_TRUE(Eventually([&] { return !Present(index); }));
    }
    HartMessage request = IdentityRequest(2);
    ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    EXPECT_EQ(Records(index), (std::vector<RecordSummary>{{0, HART_STATUS_SLAVE_REPLY, 2, HART_ERROR_WRITE}}));
    EXPECT_FALSE(Present(index));
    EXPECT_EQ(hart_close(index), HDRV_FAILURE) << "as for a removed port: nothing is open to close";

    // Nobody serves the port: the device opens as absent, as a port without a modem.
    uint16_t absent = 999;
    ASSERT_EQ(hart_open("HART300", &absent), HDRV_SUCCESS);
    EXPECT_FALSE(Present(absent));
    EXPECT_EQ(hart_close(absent), HDRV_FAILURE) << "nothing was open";

    server = std::make_unique<FakeHartIpServer>(port);
    const uint16_t again = OpenConfigured();
    EXPECT_TRUE(Present(again));
    ExpectExchange(again, 3);
    EXPECT_EQ(hart_close(again), HDRV_SUCCESS);
}

TEST_P(HartIpClientTest, ErrorStatusesGiveTheRecordsOfTheLocalPath) {
    const uint16_t w = HART_STATUS_SLAVE_REPLY;
    struct Case {
        uint8_t status;
        std::vector<RecordSummary> records;
        bool stillPresent;
    };
    const Case cases[] = {
        {st::kNoResponse, {{0, w, 10, HART_ERROR_WRITE}}, true},
        {st::kBusy, {{0, w, 11, HART_ERROR_WRITE}}, true},
        {st::kDamagedResponse, {{0, w, 12, HART_ERROR_WRITE}, {0, w, 12, HART_ERROR_READ}}, true},
        {st::kInvalidFrame, {{0, w, 13, HART_ERROR_WRITE}}, true},
        {st::kTooFewDataBytes, {{0, w, 14, HART_ERROR_WRITE}}, true},
        {st::kPortUnavailable, {{0, w, 15, HART_ERROR_WRITE}}, false},
    };
    uint16_t index = OpenConfigured();
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.status));
        server->QueueStatuses({c.status});
        const uint16_t tag = c.records.front().tag;
        HartMessage request = IdentityRequest(tag);
        ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
        EXPECT_EQ(Records(index), c.records);
        EXPECT_EQ(Present(index), c.stillPresent);
        if (!c.stillPresent) {
            EXPECT_EQ(hart_close(index), HDRV_FAILURE);
            index = OpenConfigured();
        }
        ExpectExchange(index, uint16_t(tag + 100)); // the session serves the next request
    }
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Transports, HartIpClientTest, ::testing::Values("hartip+udp", "hartip+tcp"),
                         [](const auto& info) { return info.param == "hartip+udp" ? "Udp" : "Tcp"; });

// Secured sessions (version 2, TLS-PSK after the plain initiate): the right key serves the port, a wrong
// key or a server without keys leaves it closed, and a key file anyone may read is not even used.
TEST(HartIpSecuredTest, TheKeyDecidesWhetherASecuredSessionServesThePort) {
    zelhart::testing::TempDir dir;
    const std::vector<uint8_t> key{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                   0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    FakeHartIpServer server(0, FakeHartIpServer::Psk{"desk1", key});
    FakeHartIpServer withoutKeys;
    struct Case {
        const char* name;
        const char* text;
        mode_t mode;
        uint16_t port;
        Win32Error open;
    };
    const Case cases[] = {
        {"right key", "desk1:00112233445566778899aabbccddeeff\n", 0600, server.port(), ERROR_SUCCESS},
        {"wrong key", "desk1:00112233445566778899aabbccddeef0\n", 0600, server.port(), ERROR_ACCESS_DENIED},
        {"readable by others", "desk1:00112233445566778899aabbccddeeff\n", 0644, server.port(), ERROR_ACCESS_DENIED},
        {"server without keys", "desk1:00112233445566778899aabbccddeeff\n", 0600, withoutKeys.port(),
         ERROR_FILE_NOT_FOUND},
    };
    const std::string path = dir / "desk1.key";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(path.c_str());
        std::ofstream(path) << c.text;
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        const size_t sessionsBefore = server.SessionMasterTypes().size();
        platform::RemoteEndpoint endpoint{platform::RemoteEndpoint::Transport::Tcp, "127.0.0.1", c.port, "desk1", path};
        std::unique_ptr<IDeviceFile> file;
        ASSERT_EQ(OpenHartIpDevice(endpoint, {2000, 2000, 30000}, &file), c.open);
        if (c.mode & 0044) {
            EXPECT_EQ(server.SessionMasterTypes().size(), sessionsBefore) << "nothing was sent";
        }
        if (c.open != ERROR_SUCCESS) {
            EXPECT_FALSE(file);
            continue;
        }
        // One exchange inside TLS: the answer comes to the read.
        const uint8_t frame[] = {0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x02};
        uint32_t written = 0;
        ASSERT_EQ(file->Write(frame, sizeof(frame), &written), ERROR_SUCCESS);
        platform::UniqueFd event(::eventfd(0, EFD_CLOEXEC));
        const Win32Error started = file->StartRead(HART_MESSAGE_DATA_SIZE, event.get());
        EXPECT_TRUE(started == ERROR_SUCCESS || started == ERROR_IO_PENDING);
        uint8_t answer[HART_MESSAGE_DATA_SIZE];
        uint32_t bytes = 0;
        ASSERT_EQ(file->GetReadResult(answer, sizeof(answer), &bytes, true), ERROR_SUCCESS);
        ASSERT_GT(bytes, 8u);
        EXPECT_EQ(answer[0], 0x06);
        EXPECT_EQ(answer[6], 254);
        EXPECT_EQ(file->Close(), ERROR_SUCCESS);
        EXPECT_EQ(server.Handshakes(), 1u);
    }
}

// 4810cli reads the whole configuration over HART-IP (the program's port numbers are 1..255), with no driver daemon on this machine; the file
// it saves equals the one it saves reading the same transmitter model through the loopback library.
TEST(HartIpCliTest, AWholeReadOverHartIpSavesWhatTheLocalReadSaves) {
    zelhart::testing::TempDir root;
    FakeHartIpServer server;
    const std::string run = root / "run", etc = root / "etc", home = root / "home";
    std::filesystem::create_directories(etc);
    std::filesystem::create_directories(home);
    std::ofstream(etc + "/ports.conf") << "COM250=hartip+udp://127.0.0.1:" << server.port() << "\n";
    ASSERT_EQ(platform::RegisterComPort(run + "/ports", 1, etc + "/ports.conf"), 0); // the loopback's port
    auto cli = [&](const std::string& port, const std::string& library, const std::string& saved) {
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("4810cli");
        spec.args = {"--port", port, "read", "--save", saved};
        spec.env = {{"ZELHART_RUNTIME_DIR", run}, {"ZELHART_CONFIG_DIR", etc}, {"HOME", home},
                    {"XDG_CONFIG_HOME", home},    {"LC_ALL", "C.UTF-8"},      {kInterfaceLibraryEnv, library}};
        spec.captureOutput = true;
        return sim::RunToExit(spec, 60s);
    };
    const std::string remote = root / "remote.4810", local = root / "local.4810";
    auto overHartIp = cli("250", ZELHART_INTERFACE_LIBRARY_PATH, remote);
    ASSERT_TRUE(overHartIp);
    ASSERT_EQ(overHartIp->first, 0) << overHartIp->second;
    auto overLoopback = cli("1", ZELHART_LOOPBACK_LIBRARY_PATH, local);
    ASSERT_TRUE(overLoopback);
    ASSERT_EQ(overLoopback->first, 0) << overLoopback->second;
    auto bytes = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(std::filesystem::file_size(remote), 103u);
    EXPECT_EQ(bytes(remote), bytes(local));
    EXPECT_GE(server.Frames().size(), 7u) << "identity and the six read steps went over HART-IP";
}

} // namespace
} // namespace zelhart::hartif::testing

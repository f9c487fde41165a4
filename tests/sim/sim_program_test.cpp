// korvel4810-sim end to end: a raw HART master in the test talks to it through a real
// pseudo-terminal found through the serial port map.
#include "port_client.h"
#include "temp_dir.h"
#include "zelhart/sim/line_engine.h"
#include "zelhart/sim/packed_ascii.h"
#include "zelhart/sim/sim_process.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <sys/stat.h>

namespace zelhart::sim {
namespace {

using namespace testing;
using namespace std::chrono_literals;

const Bytes kIdentityRequest = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB};
const std::string kIdentityAnswer = "ff ff ff ff ff 06 00 f9 0e 00 20 fe 99 fc 05 05 01 03 10 00 3a 5f 21 1c";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the simulator to its end (bad input); its exit status and output.
std::optional<std::pair<int, std::string>> RunSim(const std::string& runtimeDir, std::vector<std::string> args) {
    ChildSpec spec;
    spec.executable = DefaultSimExecutable();
    spec.args = std::move(args);
    spec.env = {{"ZELHART_RUNTIME_DIR", runtimeDir}};
    return RunToExit(spec, std::chrono::milliseconds(10000));
}

std::string LinkTarget(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

class SimProgramTest : public ::testing::Test {
protected:
    void StartSim(std::vector<std::string> args) { ASSERT_EQ(sim.Start(dir.path(), std::move(args)), ""); }
    void Connect(int com) { ASSERT_EQ(client.Open(dir.path(), com), 0); }

    zelhart::testing::TempDir dir;
    SimProcess sim;
    PortClient client;
};

TEST_F(SimProgramTest, IdentityExchangeWithoutPacing) {
    StartSim({"--port", "7", "--no-pace"});
    EXPECT_EQ(sim.comName(), "COM7");
    EXPECT_EQ(LinkTarget(dir / "ports/COM7"), sim.portPath());
    Connect(7);
    ASSERT_TRUE(client.Write(kIdentityRequest));
    EXPECT_EQ(HexBytes(client.ReadBytes(24, 3000ms)), kIdentityAnswer);
    EXPECT_LT(client.lastByte() - client.lastWrite(), 200ms); // far below the wire time of 220 ms
}

// --port free: the first number from COM201 up that no port has; a second simulator on the same
// runtime directory takes the next one.
TEST_F(SimProgramTest, FreePortTakesTheFirstNumberNoPortHas) {
    StartSim({"--port", "free", "--no-pace"});
    EXPECT_EQ(sim.comName(), "COM201");
    EXPECT_EQ(LinkTarget(dir / "ports/COM201"), sim.portPath());
    SimProcess second;
    ASSERT_EQ(second.Start(dir.path(), {"--port", "free", "--no-pace"}), "");
    EXPECT_EQ(second.comName(), "COM202");
    Connect(202);
    ASSERT_TRUE(client.Write(kIdentityRequest));
    EXPECT_EQ(HexBytes(client.ReadBytes(24, 3000ms)), kIdentityAnswer);
    EXPECT_EQ(second.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "ports/COM202")); // its own link goes with it
}

TEST_F(SimProgramTest, PacedAnswerTakesAtLeastItsWireTime) {
    StartSim({"--port", "2"});
    Connect(2);
    ASSERT_TRUE(client.Write(kIdentityRequest));
    Bytes answer = client.ReadBytes(24, 3000ms);
    EXPECT_EQ(HexBytes(answer), kIdentityAnswer);
    auto wire = 24 * kCharacterTime;
    EXPECT_GE(client.lastByte() - client.lastWrite(), wire);
    EXPECT_GE(client.firstByte() - client.lastWrite(), kCharacterTime); // its first character, too
}

TEST_F(SimProgramTest, FrameLogHasOneLinePerFrame) {
    StartSim({"--port", "3", "--no-pace", "--log", dir / "frames.log"});
    Connect(3);
    ASSERT_TRUE(client.Write(Cat({{0x00, 0x42}, kIdentityRequest})));
    ASSERT_EQ(client.ReadBytes(24, 3000ms).size(), 24u);
    EXPECT_EQ(ReadFile(dir / "frames.log"), "RX ff ff ff ff ff ff 02 00 f9 00 fb\nTX " + kIdentityAnswer + "\n");
}

TEST_F(SimProgramTest, StoppingRemovesTheComLink) {
    for (int sig : {SIGTERM, SIGINT}) {
        SimProcess s;
        ASSERT_EQ(s.Start(dir.path(), {"--port", "9", "--no-pace"}), "");
        struct stat st {};
        ASSERT_EQ(::lstat((dir / "ports/COM9").c_str(), &st), 0);
        ::kill(s.process().pid(), sig);
        EXPECT_EQ(s.process().Wait(5000ms), 0);
        EXPECT_NE(::lstat((dir / "ports/COM9").c_str(), &st), 0) << "signal " << sig;
    }
}

TEST_F(SimProgramTest, AClientMayCloseAndAnotherOpenTheExclusivePort) {
    StartSim({"--port", "4", "--no-pace"});
    Connect(4);
    PortClient second;
    EXPECT_EQ(second.Open(dir.path(), 4), EBUSY); // the simulator does not hold the lock itself
    ASSERT_TRUE(client.Exchange(kIdentityRequest));
    client.Close();
    ASSERT_EQ(second.Open(dir.path(), 4), 0);
    auto answer = second.Exchange(kIdentityRequest);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->command(), 249);
}

TEST_F(SimProgramTest, NothingWaitsOnThePortWhileNobodyHasItOpen) {
    StartSim({"--port", "4", "--no-pace", "--burst", "20"});
    Connect(4);
    ASSERT_TRUE(client.ReadFrame(2000ms)); // bursts flow while someone listens
    client.Close();
    // Bursts stop while the port is closed, so a new client starts on a clean line: the first
    // frame it sees is a whole one.
    Connect(4);
    auto f = client.ReadFrame(2000ms);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->delimiter(), 0x81);
    EXPECT_TRUE(f->checkOk());
}

TEST_F(SimProgramTest, ConfigurationSurvivesARestartThroughTheStateFile) {
    std::string state = dir / "device.state";
    StartSim({"--port", "5", "--no-pace", "--state", state});
    EXPECT_NE(ReadFile(state).find("tag = TT-101"), std::string::npos); // created with the factory values
    Connect(5);
    Bytes write = Cat({PackAscii("NEWTAG", 8), PackAscii("RESTART", 16), {5, 6, 123}});
    auto answer = client.Exchange(WithPreambles(RequestBytes(18, write)));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->data()[0], 0);
    client.Close();
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(ReadFile(state).find("tag = NEWTAG"), std::string::npos);

    SimProcess again;
    ASSERT_EQ(again.Start(dir.path(), {"--port", "5", "--no-pace", "--state", state}), "");
    Connect(5);
    auto read = client.Exchange(WithPreambles(RequestBytes(13, {})));
    ASSERT_TRUE(read);
    EXPECT_EQ(UnpackAscii(read->data().subspan(2, 6)), "NEWTAG  ");
    EXPECT_EQ(UnpackAscii(read->data().subspan(8, 12)), "RESTART         ");
}

TEST_F(SimProgramTest, APacedChangeIsInTheStateFileWithoutAnotherRequest) {
    std::string state = dir / "device.state";
    StartSim({"--port", "5", "--state", state});
    Connect(5);
    Bytes write = Cat({PackAscii("LASTTAG", 8), PackAscii("END", 16), {5, 6, 123}});
    auto answer = client.Exchange(WithPreambles(RequestBytes(18, write)));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->data()[0], 0);
    // The session's last change: no request follows, the simulator runs on.
    auto until = std::chrono::steady_clock::now() + 2s;
    while (ReadFile(state).find("tag = LASTTAG") == std::string::npos && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(ReadFile(state).find("tag = LASTTAG"), std::string::npos);
}

TEST_F(SimProgramTest, GarbageAndOversizeInputDoNotStopTheTransmitter) {
    StartSim({"--port", "6", "--no-pace"});
    Connect(6);
    Bytes junk;
    uint32_t x = 12345;
    for (int i = 0; i < 100000; ++i) {
        x = x * 1103515245 + 12345;
        junk.push_back(uint8_t(x >> 16));
    }
    // A frame that claims more data than any frame can hold, then junk, then a long frame with
    // 255 data bytes for nobody.
    Bytes oversize = {0xFF, 0xFF, 0x82, 0x19, 0xFC, 0x3A, 0x5F, 0x21, 13, 255};
    oversize.resize(oversize.size() + 400, 0x00);
    size_t written = 0;
    for (const Bytes* part : {&oversize, &junk}) {
        for (size_t at = 0; at < part->size(); at += 1024) {
            size_t n = std::min<size_t>(1024, part->size() - at);
            pollfd p{client.fd(), POLLOUT, 0};
            ASSERT_GT(::poll(&p, 1, 2000), 0);
            ssize_t w = ::write(client.fd(), part->data() + at, n);
            ASSERT_GT(w, 0);
            written += size_t(w);
        }
    }
    EXPECT_GT(written, 100000u);
    // The cut-off frame was addressed to the transmitter: it answers with a communication error.
    auto error = client.ReadFrame(3000ms);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->command(), 13);
    EXPECT_EQ(error->data()[0], 0x88);
    auto answer = client.Exchange(kIdentityRequest, 5);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->data()[0], 0);
    EXPECT_TRUE(sim.process().running());
}

TEST_F(SimProgramTest, ControlChannelInjectsFaultsAtRunTime) {
    std::string fifo = dir / "control";
    StartSim({"--port", "8", "--no-pace", "--control", fifo, "--log", dir / "ctl.log"});
    Connect(8);
    ASSERT_TRUE(client.Exchange(kIdentityRequest));
    {
        std::ofstream out(fifo);
        ASSERT_TRUE(out.is_open()) << strerror(errno);
        out << "busy 1\n";
        out.close();
        ASSERT_TRUE(out) << strerror(errno);
    }
    // The instruction and the next request race inside the simulator; the busy answer comes
    // within a few exchanges, and exactly once.
    int busy = 0, normalAfterBusy = 0;
    for (int i = 0; i < 8 && normalAfterBusy < 2; ++i) {
        auto a = client.Exchange(kIdentityRequest);
        ASSERT_TRUE(a);
        if (a->data()[0] == 32) ++busy;
        else if (busy) ++normalAfterBusy;
    }
    EXPECT_EQ(busy, 1);
    EXPECT_EQ(normalAfterBusy, 2) << ReadFile(dir / "ctl.log") << sim.process().Output();
}

TEST_F(SimProgramTest, OtherMasterAndBurstTraffic) {
    StartSim({"--port", "10", "--no-pace", "--other-master", "30"});
    Connect(10);
    auto request = client.ReadFrame(3000ms);
    ASSERT_TRUE(request);
    // Start of the stream may cut into a frame; look for the other master's request.
    for (int i = 0; i < 4 && request && request->type() != FrameType::Request; ++i) request = client.ReadFrame(3000ms);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->delimiter(), 0x82);
    EXPECT_EQ(request->address()[0], 0x99);
    auto reply = client.ReadFrame(3000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->delimiter(), 0x86);
    EXPECT_EQ(reply->address()[0], 0x99);
    EXPECT_EQ(reply->command(), 3);
}

TEST_F(SimProgramTest, BadStateFileIsRefusedClearly) {
    std::string state = dir / "bad.state";
    { std::ofstream(state) << "format = 1\nsensor_type = banana\n"; }
    auto result = RunSim(dir.path(), {"--port", "11", "--state", state});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 1);
    EXPECT_NE(result->second.find("state file " + state + ": line 2: sensor_type"), std::string::npos)
        << result->second;
    struct stat st {};
    EXPECT_NE(::lstat((dir / "ports/COM11").c_str(), &st), 0);

    { std::ofstream(state, std::ios::binary) << std::string("\x7f" "ELF\x02\x01\x01\x00", 8) << std::string(200, '\0'); }
    result = RunSim(dir.path(), {"--state", state});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 1);
    EXPECT_NE(result->second.find("not printable"), std::string::npos) << result->second;
}

// The readiness hand-shake the test harnesses use for the simulator and the daemon.
ChildSpec Shell(const std::string& script) {
    ChildSpec spec;
    spec.executable = "/bin/sh";
    spec.args = {"-c", script};
    return spec;
}

TEST(ReadyLineTest, TheFirstLineIsReturnedAndSilenceOrAnEarlyExitIsReported) {
    ChildProcess ready;
    std::string line;
    ASSERT_EQ(ready.StartAndAwaitReadyLine(Shell("printf 'COM7 /dev/x\\nmore' >&3; exec sleep 30"),
                                           "sh", 5s, &line),
              "");
    EXPECT_EQ(line, "COM7 /dev/x");
    EXPECT_TRUE(ready.running());

    ChildProcess silent;
    auto error = silent.StartAndAwaitReadyLine(Shell("exec sleep 30"), "sh", 200ms, &line);
    EXPECT_EQ(error.rfind("sh was not ready in time", 0), 0u) << error;
    EXPECT_FALSE(silent.running()); // not left behind

    ChildProcess failing;
    error = failing.StartAndAwaitReadyLine(Shell("exit 3"), "sh", 5s, &line);
    EXPECT_EQ(error.rfind("sh ended (status 3)", 0), 0u) << error;
}

TEST_F(SimProgramTest, BadOptionsGiveUsageAndStatus2) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "x"}, {"--turnaround"}, {"--busy", "-3"}, {"--wat"}, {"extra"}}) {
        auto result = RunSim(dir.path(), args);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first, 2) << args[0];
        EXPECT_NE(result->second.find("usage: korvel4810-sim"), std::string::npos);
    }
    auto help = RunSim(dir.path(), {"--help"});
    ASSERT_TRUE(help);
    EXPECT_EQ(help->first, 0);
    EXPECT_NE(help->second.find("--other-master"), std::string::npos);
}

} // namespace
} // namespace zelhart::sim

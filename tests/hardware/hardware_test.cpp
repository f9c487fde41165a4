// 4810cli -> library -> ZelHartDriver -> modelled serial hardware -> korvel4810-sim at 1200 baud.
// The model (uart_model.cpp) gives the daemon's port a line rate, modem lines keying the transmitter,
// a transmit FIFO, USB burst delivery and echo. Each cell: a whole read succeeds, the transmitter hears
// each request once, RTS never falls with characters unsent.
#include "temp_dir.h"
#include "zelhart/driver/daemon_process.h"
#include "zelhart/platform/modem_lines.h"
#include "zelhart/sim/sim_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <termios.h>
#include <unistd.h>

namespace zelhart::hardware::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kPort = 201;

struct Cell {
    const char* name;
    const char* model; // the model's settings (uart_model.cpp)
    bool echo;
};

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The command byte of a logged request ("RX ff ff 82 a6 fc 00 00 01 0d 00 ..").
int CommandOf(const std::string& line) {
    std::istringstream in(line.substr(2));
    std::vector<int> bytes;
    for (std::string hex; in >> hex;) bytes.push_back(std::stoi(hex, nullptr, 16));
    size_t i = 0;
    while (i < bytes.size() && bytes[i] == 0xFF) ++i;
    if (i >= bytes.size()) return -1;
    size_t at = i + ((bytes[i] & 0x80) ? 6 : 2);
    return at < bytes.size() ? bytes[at] : -1;
}

class HardwareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& d : {run, etc, home}) std::filesystem::create_directories(d);
        // Errors only: what a first session's trace shows.
        ASSERT_TRUE(hartdriver::WriteServiceKey(etc, "\"DebugLevel\"=dword:00000001\n"));
    }
    void TearDown() override {
        daemon.Stop();
        sim.Stop();
    }
    void Start(const std::string& model) {
        ASSERT_EQ(sim.Start(run, {"--port", std::to_string(kPort), "--log", frames}), "");
        // Preloaded into the daemon only: the model takes over the port of the program named in it.
        ::setenv("LD_PRELOAD", ZELHART_UART_MODEL_LIBRARY, 1);
        ::setenv("ZELHART_UART_MODEL", (model + ",log=" + uartLog).c_str(), 1);
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = run;
        launch.configDir = etc;
        std::string started = daemon.Start(launch);
        ::unsetenv("LD_PRELOAD");
        ::unsetenv("ZELHART_UART_MODEL");
        ASSERT_EQ(started, "");
    }
    std::pair<int, std::string> Cli(std::vector<std::string> args) {
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("4810cli");
        spec.args = {"--port", std::to_string(kPort)};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.env = {{"ZELHART_RUNTIME_DIR", run}, {"ZELHART_CONFIG_DIR", etc}, {"HOME", home},
                    {"XDG_CONFIG_HOME", home},    {"LC_ALL", "C.UTF-8"}};
        spec.captureOutput = true;
        auto result = sim::RunToExit(spec, 90s);
        return result ? *result : std::pair<int, std::string>{-1, "did not end in time"};
    }
    std::string DaemonTail() const {
        std::string out = daemon.Output();
        return out.size() > 4000 ? out.substr(out.size() - 4000) : out;
    }
    // Every request the transmitter heard was answered, and none twice in a row.
    void ExpectOneRequestPerTransaction() {
        size_t requests = 0, answers = 0;
        std::string last;
        for (const auto& line : Lines(frames)) {
            if (line.starts_with("TX")) ++answers;
            if (!line.starts_with("RX")) continue;
            ++requests;
            EXPECT_NE(line, last) << "a request heard twice\nZelHartDriver:\n" << DaemonTail();
            last = line;
        }
        EXPECT_GT(requests, 5u);
        EXPECT_EQ(requests, answers) << "requests heard and answers sent";
    }
    // RTS was toggled, and never fell before the transmitter was empty (but after the daemon gave a
    // frame up and flushed the port's output: the rest of an aborted frame is lost on purpose).
    void ExpectRtsHeldToTheEnd() {
        size_t edges = 0;
        bool aborted = false;
        for (const auto& line : Lines(uartLog)) {
            if (line == "FLUSH") aborted = true;
            if (line.starts_with("RTS 1")) aborted = false;
            if (aborted) continue;
            EXPECT_FALSE(line.starts_with("LOST")) << line;
            if (!line.starts_with("RTS")) continue;
            ++edges;
            EXPECT_TRUE(line.ends_with("unsent=0")) << line << "\nZelHartDriver:\n" << DaemonTail();
        }
        EXPECT_GT(edges, 10u) << "RTS keyed the modem";
    }

    zelhart::testing::TempDir root;
    std::string run = root / "run", etc = root / "etc", home = root / "home";
    std::string frames = root / "frames.log", uartLog = root / "uart.log";
    sim::SimProcess sim;
    hartdriver::DaemonProcess daemon;
};

void PrintTo(const Cell& cell, std::ostream* os) {
    *os << cell.name;
}

class HardwareMatrix : public HardwareTest, public ::testing::WithParamInterface<Cell> {};

TEST_P(HardwareMatrix, WholeReadWithOneRequestPerTransaction) {
    const Cell& cell = GetParam();
    Start(std::string(cell.model) + (cell.echo ? ",echo=1" : ""));
    auto [status, output] = Cli({"read"});
    ASSERT_EQ(status, 0) << output << "\nZelHartDriver:\n" << daemon.Output();
    ExpectOneRequestPerTransaction();
    ExpectRtsHeldToTheEnd();
    const bool echoTraced = daemon.Output().find("the modem echoes what it transmits") != std::string::npos;
    EXPECT_EQ(echoTraced, cell.echo) << daemon.Output();
    EXPECT_FALSE(platform::LacksModemLines(run + "/nolines", kPort, sim.portPath()))
        << "a port with its lines";
    if (std::string(cell.model).starts_with("kind=usb")) {
        auto log = Lines(uartLog);
        EXPECT_NE(std::find(log.begin(), log.end(), "LOWLAT"), log.end()) << "ASYNC_LOW_LATENCY asked for";
    }
}

INSTANTIATE_TEST_SUITE_P(Models, HardwareMatrix,
                         ::testing::Values(Cell{"Ideal", "kind=ideal", false}, Cell{"IdealEcho", "kind=ideal", true},
                                           Cell{"Uart16550", "kind=16550", false},
                                           Cell{"Uart16550Echo", "kind=16550", true},
                                           Cell{"Usb1ms", "kind=usb,grid=1", false},
                                           Cell{"Usb1msEcho", "kind=usb,grid=1", true},
                                           Cell{"Usb16ms", "kind=usb,grid=16", false},
                                           Cell{"Usb16msEcho", "kind=usb,grid=16", true},
                                           Cell{"Usb32ms", "kind=usb,grid=32", false},
                                           Cell{"Usb32msEcho", "kind=usb,grid=32", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The loop trim on an echoing 16550 modem: each trim command (45: 4 mA, 46: 20 mA) goes on the
// line once.
TEST_F(HardwareTest, LoopTrimSendsEachTrimOnceOnAnEchoingModem) {
    Start("kind=16550,echo=1");
    const std::string readings = root / "readings";
    std::ofstream(readings) << "4.01\n19.99\n";
    auto [status, output] = Cli({"loop-trim", "--readings", readings});
    ASSERT_EQ(status, 0) << output << "\nZelHartDriver:\n" << daemon.Output();
    std::map<int, int> heard;
    for (const auto& line : Lines(frames))
        if (line.starts_with("RX")) ++heard[CommandOf(line)];
    EXPECT_EQ(heard[45], 1);
    EXPECT_EQ(heard[46], 1);
    ExpectRtsHeldToTheEnd();
}

// A port left with IGNPAR|IXANY by another program: the daemon's own settings replace them, so a
// character of an answer that arrives with a parity error reaches the receiver as a line error
// instead of vanishing.
TEST_F(HardwareTest, ParityErrorReachesTheReceiverWhateverThePortHadBefore) {
    ASSERT_EQ(sim.Start(run, {"--port", std::to_string(kPort), "--log", frames}), "");
    {
        int fd = ::open(sim.portPath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        t.c_iflag |= IGNPAR | IXANY;
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    // The 7th character the simulator sends: after 5 preambles and the delimiter of the first answer.
    ::setenv("LD_PRELOAD", ZELHART_UART_MODEL_LIBRARY, 1);
    ::setenv("ZELHART_UART_MODEL", ("kind=ideal,parity=7,log=" + uartLog).c_str(), 1);
    hartdriver::DaemonLaunch launch;
    launch.runtimeDir = run;
    launch.configDir = etc;
    std::string started = daemon.Start(launch);
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("ZELHART_UART_MODEL");
    ASSERT_EQ(started, "");
    auto [status, output] = Cli({"find"});
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(daemon.Output().find("STATE_RECEIVING_UNTIL_BYTECOUNT Status != STATUS_SUCCESS"), std::string::npos)
        << daemon.Output();
}

// A real port without modem-control lines (a USB modem keying itself on a three-wire adapter) works,
// and the trace says at its default level that RTS cannot key a modem there; the daemon leaves the
// record the programs read.
TEST_F(HardwareTest, RealPortWithoutModemLinesIsSaidInTheTrace) {
    Start("kind=usb,grid=1,nolines=1");
    auto [status, output] = Cli({"find"});
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(daemon.Output().find("the port has no modem-control lines"), std::string::npos) << daemon.Output();
    EXPECT_TRUE(platform::LacksModemLines(run + "/nolines", kPort, sim.portPath()));
}

// The same port with a modem keyed by RTS: nothing is ever transmitted, and the program's "not found"
// says why on its second line instead of leaving the user with a silent transmitter.
TEST_F(HardwareTest, RtsKeyedModemOnAPortWithoutLinesIsTheCauseOfNotFound) {
    Start("kind=usb,grid=1,nolines=rts");
    auto [status, output] = Cli({"check"});
    EXPECT_NE(status, 0) << output;
    EXPECT_NE(output.find("906: Датчик Корвел-4810 не найден\n4810cli:   У порта COM" +
                          std::to_string(kPort) + " (" + sim.portPath() +
                          ") нет линий управления модемом: RTS не переключается"),
              std::string::npos)
        << output;
}

} // namespace
} // namespace zelhart::hardware::testing

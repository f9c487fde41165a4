// libFuzzer target: what arrives on the simulator's control FIFO (--control PATH), split into lines by
// ControlFifo and applied by LineEngine::Control to a transmitter on a simulated line, which then
// answers a master's request while the line runs for two seconds of simulated time.
//
// Checked for every input: an instruction that is refused changes none of the line's settings, and
// the line never holds more bytes waiting than its bound.
#include "control_fifo.h"
#include "fuzz_support.h"
#include "zelhart/sim/line_engine.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace zelhart::sim;
using std::chrono::milliseconds;

[[noreturn]] void Die(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "control fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

std::string g_fifoPath;

bool SameSettings(const LineSettings& a, const LineSettings& b) {
    return a.pace == b.pace && a.turnaround == b.turnaround && a.preambles == b.preambles &&
           a.noise == b.noise && a.burstInterval == b.burstInterval &&
           a.otherMasterInterval == b.otherMasterInterval && a.silent == b.silent && a.badCheck == b.badCheck;
}

// Runs the line until `until`, taking what is due every 10 ms.
void RunLine(LineEngine& engine, LineEngine::TimePoint& now, LineEngine::TimePoint until) {
    std::vector<uint8_t> out;
    for (; now < until; now += milliseconds(10)) {
        engine.Tick(now);
        out.clear();
        engine.TakeDue(now, out);
        if (out.size() > LineEngine::kMaxQueuedBytes) Die("more bytes due than the line holds");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_fifoPath = zelhart::fuzz::MakePrivateDir("control-fuzz") + "/control";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A fresh FIFO for every input: a line left unfinished by one input is no part of the next.
    ControlFifo fifo;
    if (const std::string error = fifo.Open(g_fifoPath); !error.empty()) Die("cannot open the FIFO", error);
    const int writer = ::open(g_fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer < 0) Die("cannot open the FIFO for writing", std::strerror(errno));
    const ssize_t written = ::write(writer, data, size);
    ::close(writer);
    if (size > 0 && written != static_cast<ssize_t>(size)) Die("the FIFO took only part of the input");

    KorvelDevice device;
    LineEngine::TimePoint now{};
    LineEngine engine(device, LineSettings{}, now);
    fifo.Read(
        [&](std::string_view line) {
            const LineSettings before = engine.settings();
            if (!engine.Control(line, now).empty() && !SameSettings(before, engine.settings()))
                Die("a refused instruction changed the settings", std::string(line));
            RunLine(engine, now, now + milliseconds(10));
        },
        [](std::string_view) {});

    // A master asks the transmitter for its identity; the line runs on.
    const uint8_t request[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
    engine.Receive(request, now);
    RunLine(engine, now, now + milliseconds(2000));
    return 0;
}

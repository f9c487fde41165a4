#include "zelhart/sim/sim_options.h"

#include "zelhart/sim/text_numbers.h"

#include <chrono>

namespace zelhart::sim {
namespace {

constexpr uint64_t kMaxPort = 4096; // the highest COM number of the serial port map
constexpr uint64_t kMaxFd = 65535;

} // namespace

std::string SimUsage() {
    return "usage: korvel4810-sim [options]\n"
           "A Korvel-4810 HART transmitter on a pseudo-terminal, registered as COM<n>.\n"
           "  --port N            register as COM<N> (1..4096)\n"
           "  --port free         register on the first COM number from 201 up that no port has (no\n"
           "                      real port of this machine then shares the simulator's number);\n"
           "                      the ready line says which (the default)\n"
           "  --state FILE        load the configuration from FILE (written with the factory\n"
           "                      configuration when missing) and save every change to it\n"
           "  --log FILE          append one line per frame: RX or TX and the bytes in hex\n"
           "  --log-times         begin each log line with the time (CLOCK_MONOTONIC, seconds) and log\n"
           "                      \"LATE <ms>\" when output left later than the line would have sent it\n"
           "  --ready-fd FD       once registered, write \"COM<N> <pts path>\\n\" to FD and close it\n"
           "                      (the same line always goes to standard output)\n"
           "  --control PATH      create a FIFO at PATH that takes the fault options below at run\n"
           "                      time, one per line without the dashes (\"busy 2\", \"burst off\",\n"
           "                      \"process 80.5\" sets the process value in the sensor's base unit)\n"
           "  --no-pace           answer at once instead of 11 bits at 1200 baud per character\n"
           "  --turnaround MS     pause after a request before the answer (0..10000; default 5,\n"
           "                      0 with --no-pace)\n"
           "  --preambles N       preambles before each frame sent (0..1000, default 5)\n"
           "faults:\n"
           "  --silent N          do not hear the next N requests to the transmitter\n"
           "  --bad-check N       corrupt the check byte of the next N answers\n"
           "  --busy N            answer the next N requests with response code 32 (busy)\n"
           "  --burst MS          burst mode: a burst frame (command 3) every MS ms\n"
           "  --other-master MS   every MS ms a request of another master and the answer to it\n"
           "  --noise N           N noise bytes before each frame sent (0..255)\n"
           "  --help              this text\n";
}

std::string ParseSimOptions(std::span<const char* const> args, SimOptions& out) {
    SimOptions o;
    bool turnaroundGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i] ? args[i] : "";
        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue) return inlineValue;
            if (i + 1 >= args.size() || !args[i + 1]) return std::nullopt;
            return std::string_view(args[++i]);
        };
        auto flag = [&]() { return !inlineValue; };

        if (name == "--help" || name == "-h") {
            if (!flag()) return std::string(name) + " takes no value";
            o.help = true;
        } else if (name == "--log-times") {
            if (!flag()) return "--log-times takes no value";
            o.logTimes = true;
        } else if (name == "--no-pace") {
            if (!flag()) return "--no-pace takes no value";
            o.line.pace = false;
        } else if (name == "--port" || name == "--ready-fd") {
            auto v = value();
            if (name == "--port" && v && *v == "free") {
                o.port = kFreePort;
                continue;
            }
            bool port = name == "--port";
            auto n = v ? ParseUnsigned(*v, port ? kMaxPort : kMaxFd) : std::nullopt;
            if (!n || (port && *n == 0))
                return std::string(name) + (port ? " takes a COM number 1..4096 or \"free\"" : " takes a descriptor 0..65535");
            (port ? o.port : o.readyFd) = static_cast<int>(*n);
        } else if (name == "--state" || name == "--log" || name == "--control") {
            auto v = value();
            if (!v || v->empty()) return std::string(name) + " takes a file name";
            (name == "--state" ? o.statePath : name == "--log" ? o.logPath : o.controlPath) = std::string(*v);
        } else if (name.starts_with("--")) {
            auto v = value();
            std::string word(name.substr(2));
            if (word == "process" || word == "help") return "unknown option " + std::string(name);
            Instruction in;
            std::string e = ParseInstruction(word + " " + std::string(v.value_or("")), in);
            if (!e.empty()) return e.starts_with("unknown") ? "unknown option " + std::string(name) : "--" + e;
            if (in.kind == Instruction::Kind::Busy) o.busy = static_cast<unsigned>(in.number);
            if (in.kind == Instruction::Kind::Turnaround) turnaroundGiven = true;
            ApplyToSettings(in, o.line);
        } else {
            return "unexpected argument \"" + std::string(arg) + "\"";
        }
    }
    if (!o.line.pace && !turnaroundGiven) o.line.turnaround = std::chrono::milliseconds(0);
    out = o;
    return {};
}

} // namespace zelhart::sim

#include "cli.h"

#include "hart/strings.h"

#include <string>

namespace zelhart::cli {
namespace {

int RunHelp(Context& context);

constexpr Subcommand kSubcommands[] = {
    {"find", "", "identify the transmitter at polling address 0 and print its identity", RunFind},
    {"check", "", "check the connection: \"Датчик Корвел-4810 найден\" or \"... не найден\"", RunCheck},
    {"read", "[--save FILE]", "read the whole configuration and print it; --save writes it to FILE too",
     RunRead},
    {"show", "FILE", "print the configuration held in a .4810 file", RunShow},
    {"send-basic", "FILE", "send tag, sensor, units, 4/20 mA points and damping of FILE", RunSendBasic},
    {"send-advanced", "FILE", "send alarm type and levels, mains filter and write protection of FILE",
     RunSendAdvanced},
    {"monitor", "[--count K] [--interval S]",
     "poll measured value, loop current and faults every S seconds (default 4), K times (default: until "
     "interrupted)",
     RunMonitor},
    {"fixed-current", "MA | off", "put the loop output to a fixed current of MA milliamperes, or release it",
     RunFixedCurrent},
    {"loop-trim", "[--readings FILE]",
     "loop calibration: sets 4 mA, asks for the meter's reading and trims, then the same at 20 mA",
     RunLoopTrim},
    {"sensor-trim", "UNITS LOWER [UPPER]",
     "sensor calibration at the lower (and upper) point; UNITS: C, F, R, K, mV or Ohm", RunSensorTrim},
    {"calibration-reset", "", "return the sensor to its factory calibration", RunCalibrationReset},
    {"help", "", "this text", RunHelp},
};

int RunHelp(Context& context) {
    if (!context.args.empty()) return context.UsageError("help takes no arguments");
    PrintUsage(context.io.out);
    return kExitOk;
}

} // namespace

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: 4810cli [--port N] COMMAND [ARGUMENTS]\n"
                 "  --port N   COM port of the HART modem, 1..255 (default: the program's setting\n"
                 "             \"General\"/\"PortSettings\", else %d)\n"
                 "commands:\n",
                 hart::kDefaultPort);
    for (const auto& s : kSubcommands) {
        const std::string head = std::string(s.name) + (s.usage.empty() ? "" : " ") + std::string(s.usage);
        std::fprintf(to, "  %-34s %.*s\n", head.c_str(), int(s.summary.size()), s.summary.data());
    }
    std::fprintf(to,
                 "Numbers on the command line take a full stop as decimal separator; numbers shown follow\n"
                 "the locale (LC_NUMERIC). Messages and progress go to standard error.\n"
                 "Questions are asked on the terminal when standard input is one; otherwise each takes its\n"
                 "default: Продолжить for \"the loop output will change\" and \"connect the multimeter\",\n"
                 "Да for \"the point matches the meter\", Нет for repeating a refused trim, Отмена when the\n"
                 "transmitter is not found, Продолжить when the temperature is to be stable.\n"
                 "loop-trim asks for each reading of the meter once the output is at the point and the\n"
                 "4 mA point is trimmed before the 20 mA reading: at the terminal, or else one reading a\n"
                 "line from standard input (or FILE), with a full stop, in the order asked for: 4 mA,\n"
                 "then 20 mA, and once more for a point whose trim is repeated. A reading that is missing\n"
                 "or no current ends the calibration, the output released, with exit status 1.\n"
                 "Exit status: 0 done, 1 failed (the reason is on standard error), 2 bad command line.\n");
}

Context::Context(const Io& io, hart::ISettings& settings)
    : io(io), ui(io.in, io.err, io.interactive),
      progressWait(*io.clock,
                   [this](hart::ProgressWaitMode mode, int position, int last) {
                       const std::string text = OneLine(hart::LoadString(hart::PlanOf(mode).textId));
                       if (this->io.progressInPlace) {
                           std::fprintf(this->io.err, "\r4810cli: %s %d/%d", text.c_str(), position, last);
                           if (position == last) std::fputc('\n', this->io.err);
                       } else if (position == 0 || position == last || position % 10 == 0) {
                           std::fprintf(this->io.err, "4810cli: %s %d/%d\n", text.c_str(), position, last);
                       }
                       std::fflush(this->io.err);
                   }),
      doc(settings, ui, progressWait, *io.clock) {
    // The progress of reading and sending, as the program's progress bar shows it.
    doc.SetUpdateHandler([this](int hint) {
        if (hint != hart::kHintData) return;
        const int percent = doc.GetProgress();
        if (percent == 0) return;
        std::fprintf(this->io.err, "4810cli: %d%%\n", percent);
        std::fflush(this->io.err);
    });
}

int Context::UsageError(const std::string& what) {
    std::fprintf(io.err, "4810cli: %s\n", what.c_str());
    PrintUsage(io.err);
    return kExitUsage;
}

int Main(std::span<const std::string_view> argv, const Io& io, hart::ISettings& stored) {
    PortOverride settings(stored);
    const Subcommand* chosen = nullptr;
    std::vector<std::string_view> args;
    for (size_t i = 1; i < argv.size(); ++i) {
        const std::string_view a = argv[i];
        if (a == "--port") {
            const auto port = i + 1 < argv.size() ? ParsePortNumber(argv[++i]) : std::nullopt;
            if (!port) {
                std::fprintf(io.err, "4810cli: --port needs a number from 1 to 255\n");
                PrintUsage(io.err);
                return kExitUsage;
            }
            settings.SetPort(*port);
        } else if (!chosen && (a == "--help" || a == "-h")) {
            PrintUsage(io.out);
            return kExitOk;
        } else if (!chosen && !a.starts_with("-")) {
            for (const auto& s : kSubcommands)
                if (s.name == a) chosen = &s;
            if (!chosen) {
                std::fprintf(io.err, "4810cli: unknown command '%.*s'\n", int(a.size()), a.data());
                PrintUsage(io.err);
                return kExitUsage;
            }
        } else if (chosen) {
            args.push_back(a); // the subcommand's own arguments and options
        } else {
            std::fprintf(io.err, "4810cli: unknown option '%.*s'\n", int(a.size()), a.data());
            PrintUsage(io.err);
            return kExitUsage;
        }
    }
    if (!chosen) {
        std::fprintf(io.err, "4810cli: no command given\n");
        PrintUsage(io.err);
        return kExitUsage;
    }
    Context context(io, settings);
    context.args = std::move(args);
    return chosen->run(context);
}

} // namespace zelhart::cli

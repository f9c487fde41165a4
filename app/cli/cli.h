// The command-line front end's frame: options, subcommands and what every subcommand gets.
#pragma once

#include "hart/clock.h"
#include "hart/document.h"
#include "hart/progress_wait.h"
#include "hart/settings.h"
#include "numbers.h"
#include "terminal_ui.h"

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1; // not found, refused, no answer, a file that cannot be read or written
inline constexpr int kExitUsage = 2;   // a command line that cannot be run

// Where the front end reads and writes, and what it sleeps with.
struct Io {
    std::FILE* in = stdin;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool interactive = false;     // questions are asked on `in`; otherwise they take their default
    bool progressInPlace = false; // `err` is a terminal: progress rewrites one line
    hart::IClock* clock = &hart::SystemClock::Instance();
};

// The port of --port over the stored settings.
class PortOverride : public hart::ISettings {
  public:
    explicit PortOverride(hart::ISettings& stored) : stored_(stored) {}
    void SetPort(int port) { port_ = port; }
    int GetInt(std::string_view section, std::string_view key, int defaultValue) const override {
        if (port_ && section == hart::kGeneralSection && key == hart::kPortSettingsKey) return *port_;
        return stored_.GetInt(section, key, defaultValue);
    }
    void SetInt(std::string_view section, std::string_view key, int value) override {
        stored_.SetInt(section, key, value);
    }

  private:
    hart::ISettings& stored_;
    std::optional<int> port_;
};

// What a subcommand runs with: the terminal, the document (and through it the transmitter) and its
// own arguments (options included).
struct Context {
    Context(const Io& io, hart::ISettings& settings);
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    Io io;
    TerminalUi ui;
    hart::ClockProgressWait progressWait;
    hart::CLrxDoc doc;
    std::vector<std::string_view> args;

    hart::CTransmitter& transmitter() { return doc.Transmitter(); }
    // "4810cli: <what>" and the usage, on standard error; returns kExitUsage.
    int UsageError(const std::string& what);
};

struct Subcommand {
    std::string_view name;
    std::string_view usage;   // arguments, after the name
    std::string_view summary; // one line
    int (*run)(Context&);
};

// Parses the command line and runs the chosen subcommand; returns the exit status. `stored` holds the
// per-user settings; --port overrides their port for this run only.
int Main(std::span<const std::string_view> argv, const Io& io, hart::ISettings& stored);

void PrintUsage(std::FILE* to);

// Subcommands.
int RunFind(Context& c);
int RunCheck(Context& c);
int RunRead(Context& c);
int RunShow(Context& c);
int RunSendBasic(Context& c);
int RunSendAdvanced(Context& c);
int RunMonitor(Context& c);
int RunFixedCurrent(Context& c);
int RunLoopTrim(Context& c);
int RunSensorTrim(Context& c);
int RunCalibrationReset(Context& c);

} // namespace zelhart::cli

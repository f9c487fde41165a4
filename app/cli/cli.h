// The command-line front end's frame: options, subcommands and what every subcommand gets.
#pragma once

#include "hart/settings.h"
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
inline constexpr int kExitDeviceError = 1; // not found, or the transmitter refused or did not answer
inline constexpr int kExitUsage = 2;

// What a subcommand runs with: the settings (port from --port), the terminal and its own arguments.
struct Context {
    Context(std::FILE* out, std::FILE* err) : ui(err), out(out), err(err) {}

    hart::MemorySettings settings;
    TerminalUi ui;
    std::vector<std::string_view> args;
    std::FILE* out;
    std::FILE* err;
};

struct Subcommand {
    std::string_view name;
    std::string_view usage;   // arguments, after the name
    std::string_view summary; // one line
    int (*run)(Context&);
};

// The subcommands, in the order `help` lists them.
std::span<const Subcommand> Subcommands();

// Parses the command line and runs the chosen subcommand; returns the exit status.
int Main(std::span<const std::string_view> argv, std::FILE* out, std::FILE* err);

// Writes "name: value\n".
void PrintField(std::FILE* out, std::string_view name, std::string_view value);
std::string FormatInt(long long value);
std::string FormatFloat(float value, int decimals);

// 1..255 from a command-line word, or nothing.
std::optional<int> ParsePortNumber(std::string_view text);

// Subcommands.
int RunRead(Context& context);

} // namespace zelhart::cli

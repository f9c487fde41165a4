#include "cli.h"

#include <charconv>

namespace zelhart::cli {
namespace {

int RunHelp(Context& context);

constexpr Subcommand kSubcommands[] = {
    {"read", "", "find the transmitter on the port and print its identity and configuration", RunRead},
    {"help", "", "this list", RunHelp},
};

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: 4810cli [--port N] COMMAND [ARGUMENTS]\n"
                 "  --port N   COM port of the HART modem, 1..255 (default %d)\n"
                 "commands:\n",
                 hart::kDefaultPort);
    for (const auto& s : kSubcommands) {
        std::string head = std::string(s.name) + (s.usage.empty() ? "" : " ") + std::string(s.usage);
        std::fprintf(to, "  %-10s %.*s\n", head.c_str(), int(s.summary.size()), s.summary.data());
    }
}

int RunHelp(Context& context) {
    PrintUsage(context.out);
    return kExitOk;
}

} // namespace

std::span<const Subcommand> Subcommands() {
    return kSubcommands;
}

std::optional<int> ParsePortNumber(std::string_view text) {
    int n = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || p != text.data() + text.size() || n < 1 || n > 255) return std::nullopt;
    return n;
}

void PrintField(std::FILE* out, std::string_view name, std::string_view value) {
    std::fprintf(out, "%.*s: %.*s\n", int(name.size()), name.data(), int(value.size()), value.data());
}

std::string FormatInt(long long value) {
    char buffer[24];
    auto [p, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, p);
}

std::string FormatFloat(float value, int decimals) {
    char buffer[64];
    auto [p, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return "?";
    return std::string(buffer, p);
}

int Main(std::span<const std::string_view> argv, std::FILE* out, std::FILE* err) {
    Context context(out, err);
    const Subcommand* chosen = nullptr;
    for (size_t i = 1; i < argv.size(); ++i) {
        const std::string_view a = argv[i];
        if (a == "--port") {
            std::optional<int> port = i + 1 < argv.size() ? ParsePortNumber(argv[++i]) : std::nullopt;
            if (!port) {
                std::fprintf(err, "4810cli: --port needs a number from 1 to 255\n");
                return kExitUsage;
            }
            context.settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey, *port);
        } else if (a == "--help" || a == "-h") {
            PrintUsage(out);
            return kExitOk;
        } else if (!chosen && !a.starts_with("-")) {
            for (const auto& s : kSubcommands)
                if (s.name == a) chosen = &s;
            if (!chosen) {
                std::fprintf(err, "4810cli: unknown command '%.*s'\n", int(a.size()), a.data());
                PrintUsage(err);
                return kExitUsage;
            }
        } else if (chosen && !a.starts_with("-")) {
            context.args.push_back(a);
        } else {
            std::fprintf(err, "4810cli: unknown option '%.*s'\n", int(a.size()), a.data());
            return kExitUsage;
        }
    }
    if (!chosen) {
        PrintUsage(err);
        return kExitUsage;
    }
    return chosen->run(context);
}

} // namespace zelhart::cli

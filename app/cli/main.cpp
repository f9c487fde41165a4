// 4810cli: configure, monitor and calibrate a Korvel-4810 from the command line.
#include "cli.h"

#include "settings/ini_settings.h"

#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    // Numbers shown to the user in the user's way; everything else stays locale-independent.
    std::setlocale(LC_NUMERIC, "");
    std::vector<std::string_view> args(argv, argv + argc);
    zelhart::cli::Io io;
    io.interactive = ::isatty(STDIN_FILENO) == 1;
    io.progressInPlace = ::isatty(STDERR_FILENO) == 1;
    // The desktop program's settings file, read without Qt; a damaged one is reported and not used.
    auto settings = zelhart::settings::IniSettings::ForProgram();
    if (!settings.Problem().empty()) std::fprintf(io.err, "4810cli: %s\n", settings.Problem().c_str());
    return zelhart::cli::Main(args, io, settings);
}

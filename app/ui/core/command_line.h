// The desktop program's command line:
//   4810PC [FILE]                              open FILE (a new, empty document without one)
//   4810PC /p FILE          4810PC --print FILE            print FILE on the default printer, exit
//   4810PC /pt FILE PRINTER DRIVER PORT                    print FILE on PRINTER, exit (the shell's
//   4810PC --print-to FILE PRINTER                          print-to verb; DRIVER and PORT unused)
//   4810PC --print-pdf OUT.pdf FILE                         write FILE's report to OUT.pdf, no window
// The Windows-style switches are recognised only as whole words (/p, /pt in any case), since a
// Linux path begins with a slash too.
#pragma once

#include <span>
#include <string>

namespace zelhart::ui {

struct CommandLine {
    enum class Action { New, Open, Print, PrintTo, PrintPdf, Help };
    Action action = Action::New;
    std::string file;    // the configuration file
    std::string printer; // PrintTo
    std::string output;  // PrintPdf
};

struct ParsedCommandLine {
    bool ok = false;
    CommandLine line;
    std::string error; // what is wrong, when not ok
};

// `args` without the program's name (and without the options the toolkit took).
ParsedCommandLine ParseCommandLine(std::span<const std::string> args);

} // namespace zelhart::ui

// 4810cli: configure and inspect a Korvel-4810 from the command line.
#include "cli.h"

#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv, argv + argc);
    return zelhart::cli::Main(args, stdout, stderr);
}

// korvel4810-sim: a Korvel-4810 HART transmitter on a pseudo-terminal, registered as COM<n>.
#include "sim_program.h"
#include "zelhart/sim/sim_options.h"

#include <cstdio>

int main(int argc, char** argv) {
    using namespace zelhart::sim;
    SimOptions options;
    std::span<const char* const> args(const_cast<const char* const*>(argv) + 1, size_t(argc > 0 ? argc - 1 : 0));
    if (auto e = ParseSimOptions(args, options); !e.empty()) {
        std::fprintf(stderr, "korvel4810-sim: %s\n%s", e.c_str(), SimUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(SimUsage().c_str(), stdout);
        return 0;
    }
    SimProgram program(std::move(options));
    return program.Run();
}

// ZelHartDriverSetupCustomAction: the installer's helper for the driver package and its device nodes.
// The arguments form one comma-separated command line (several arguments are joined with commas).
#include "setup_main.h"

#include <string>

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ',';
        commandLine += argv[i];
    }
    return zelhart::setup::SetupMain(commandLine);
}

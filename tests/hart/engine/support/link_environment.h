// A private world for one test of the link: runtime and config directories, COM ports that are plain
// files registered in the serial port map, and the interface library to load.
#pragma once

#include "temp_dir.h"

#include <zelhart/hart_api.h>
#include <zelhart/platform/runtime_dir.h>
#include <zelhart/platform/serial_port_map.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace zelhart::hart::testing {

// Paths of the doubles, from the build.
inline const std::string kDoublePath = ZELHART_HART_DOUBLE;
inline const std::string kDoubleWithoutClosePath = ZELHART_HART_DOUBLE_WITHOUT_CLOSE;
inline const std::string kDoubleWithoutOpenSubscribePath = ZELHART_HART_DOUBLE_WITHOUT_OPEN_SUBSCRIBE;

class LinkEnvironment {
  public:
    LinkEnvironment() {
        ::setenv("ZELHART_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", (dir_ / "etc").c_str(), 1);
        UseLibrary(kDoublePath);
    }
    ~LinkEnvironment() {
        ::unsetenv("ZELHART_RUNTIME_DIR");
        ::unsetenv("ZELHART_CONFIG_DIR");
        ::unsetenv(kInterfaceLibraryEnv);
    }

    void UseLibrary(const std::string& path) { ::setenv(kInterfaceLibraryEnv, path.c_str(), 1); }

    // Registers COM<number> as a plain file (the doubles never touch the port; the probe only needs
    // something it can lock) and returns the file's path.
    std::string AddPort(int number) {
        std::string path = dir_ / ("port" + std::to_string(number));
        std::ofstream(path).put('\0');
        EXPECT_EQ(platform::RegisterComPort(platform::PortsDir(), number, path), 0);
        return path;
    }

  private:
    zelhart::testing::TempDir dir_;
};

} // namespace zelhart::hart::testing

// What the fuzz targets share (cmake/ZelHart.cmake puts this folder on their include path).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace zelhart::fuzz {

// A new private directory <base>/<name>-XXXXXX, removed when the fuzzer exits. The base is /dev/shm
// when it is a writable directory (a RAM file system: the setup services, for one, fsync every file
// they write), else $TMPDIR, else /tmp. Aborts when no directory can be made.
inline std::string MakePrivateDir(const std::string& name) {
    static std::vector<std::string> made;
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK | X_OK) != 0) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string path = base + "/zelhart-" + name + "-XXXXXX";
    if (!::mkdtemp(path.data())) {
        std::perror(("mkdtemp " + path).c_str());
        std::abort();
    }
    if (made.empty())
        std::atexit([] {
            std::error_code ec;
            for (const std::string& dir : made)
                std::filesystem::remove_all(dir, ec);
        });
    made.push_back(path);
    return path;
}

} // namespace zelhart::fuzz

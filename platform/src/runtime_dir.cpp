#include "zelhart/platform/runtime_dir.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::platform {
namespace {

std::string EnvOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string();
}

bool WritableDir(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) && ::access(path.c_str(), W_OK) == 0;
    // Not there yet: usable when its parent lets us create it.
    auto slash = path.find_last_of('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    return ::access(parent.c_str(), W_OK) == 0;
}

} // namespace

std::string RuntimeDir() {
    if (auto v = EnvOrEmpty("ZELHART_RUNTIME_DIR"); !v.empty()) return v;
    if (WritableDir("/run/zelhart")) return "/run/zelhart";
    if (auto x = EnvOrEmpty("XDG_RUNTIME_DIR"); !x.empty()) return x + "/zelhart";
    return "/tmp/zelhart-" + std::to_string(::getuid());
}

std::string ConfigDir() {
    if (auto v = EnvOrEmpty("ZELHART_CONFIG_DIR"); !v.empty()) return v;
    return "/etc/zelhart";
}

std::string PortsDir() { return RuntimeDir() + "/ports"; }

bool MakeDirs(const std::string& path) {
    if (path.empty()) return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace zelhart::platform

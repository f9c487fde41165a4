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

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

RuntimeDirInputs CurrentRuntimeDirInputs() {
    RuntimeDirInputs in;
    in.zelhartRuntimeDir = EnvOrEmpty("ZELHART_RUNTIME_DIR");
    in.xdgRuntimeDir = EnvOrEmpty("XDG_RUNTIME_DIR");
    in.uid = ::getuid();
    return in;
}

std::string ChooseRuntimeDir(RuntimeRole role, const RuntimeDirInputs& in) {
    if (!in.zelhartRuntimeDir.empty()) return in.zelhartRuntimeDir;
    const std::string installed = in.runRoot + "/zelhart";
    // A client only needs to find the daemon's socket there; the daemon must be able to make the
    // directory when it is not there yet.
    if (IsDir(installed)) return installed;
    if (role == RuntimeRole::kDaemon && IsDir(in.runRoot) && ::access(in.runRoot.c_str(), W_OK) == 0)
        return installed;
    if (!in.xdgRuntimeDir.empty()) return in.xdgRuntimeDir + "/zelhart";
    return "/tmp/zelhart-" + std::to_string(in.uid);
}

std::string RuntimeDir(RuntimeRole role) { return ChooseRuntimeDir(role, CurrentRuntimeDirInputs()); }

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

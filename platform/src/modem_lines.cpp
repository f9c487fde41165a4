#include "zelhart/platform/modem_lines.h"

#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/serial_port_map.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <unistd.h>

namespace zelhart::platform {
namespace {

std::string RecordPath(const std::string& dir, int number) {
    return dir + "/COM" + std::to_string(number);
}

} // namespace

std::string ModemLinesDir() {
    return RuntimeDir() + "/nolines";
}

int RecordModemLines(const std::string& dir, int number, const std::string& devicePath, bool missing) {
    if (dir.empty() || number < 1 || number > kMaxComNumber) return EINVAL;
    const std::string record = RecordPath(dir, number);
    if (!missing) return ::unlink(record.c_str()) == 0 || errno == ENOENT ? 0 : errno;
    if (devicePath.empty()) return EINVAL;
    if (!MakeDirs(dir)) return errno ? errno : EIO;
    // Put in place whole: a reader sees the old record or the new one.
    const std::string partial = record + ".new" + std::to_string(::getpid());
    ::unlink(partial.c_str());
    if (::symlink(devicePath.c_str(), partial.c_str()) != 0) return errno;
    if (::rename(partial.c_str(), record.c_str()) != 0) {
        const int e = errno;
        ::unlink(partial.c_str());
        return e;
    }
    return 0;
}

bool LacksModemLines(const std::string& dir, int number, const std::string& devicePath) {
    if (dir.empty() || devicePath.empty()) return false;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(RecordPath(dir, number).c_str(), target, sizeof(target));
    return n > 0 && size_t(n) < sizeof(target) && std::string(target, size_t(n)) == devicePath;
}

void ForgetModemLines(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.starts_with("COM")) ::unlink((dir + "/" + name).c_str());
    }
    ::closedir(d);
}

} // namespace zelhart::platform

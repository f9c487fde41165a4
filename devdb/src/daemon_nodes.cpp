#include "zelhart/devdb/daemon_nodes.h"

#include "zelhart/devdb/fs_util.h"
#include "zelhart/platform/runtime_dir.h"
#include "zelhart/devdb/device_db.h"
#include "zelhart/devdb/sysroot.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::devdb {

BoundDeviceNodes ListDeviceNodesBoundToService(std::string_view service) {
    BoundDeviceNodes out;
    struct stat st {};
    if (::stat(DatabasePath().c_str(), &st) != 0 && errno == ENOENT) return out;
    DeviceDatabase db;
    if (DWORD e = LoadDeviceDatabase(&db, &out.reason)) {
        out.state = DeviceDatabaseState::Refused;
        if (out.reason.empty()) out.reason = "cannot be read (error " + std::to_string(e) + ")";
        return out;
    }
    out.state = DeviceDatabaseState::Loaded;
    for (const DeviceNode& n : db.nodes)
        if (n.present && detail::EqualsNoCase(n.service, service))
            out.nodes.push_back({n.instanceId, n.hardwareIds, (n.status & DN_NEED_RESTART) != 0});
    return out;
}

std::string DaemonPidFilePath() { return platform::RuntimeDir() + "/" + kDaemonPidFileName; }

bool WriteDaemonPidFile(pid_t pid) {
    return detail::ReplaceFileAtomically(DaemonPidFilePath(), std::to_string(pid) + "\n") == ERROR_SUCCESS;
}

void RemoveDaemonPidFile() { ::unlink(DaemonPidFilePath().c_str()); }

namespace {

bool ReadPid(pid_t* pid) {
    std::string text;
    if (detail::ReadWholeFile(DaemonPidFilePath(), 32, &text) != ERROR_SUCCESS) return false;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 1 || value > 4194304) return false;
    *pid = static_cast<pid_t>(value);
    return true;
}

bool IsDaemon(pid_t pid) {
    std::string comm;
    if (detail::ReadWholeFile("/proc/" + std::to_string(pid) + "/comm", 64, &comm) != ERROR_SUCCESS) return false;
    return comm == std::string(kDriverServiceName) + "\n";
}

} // namespace

ReenumerateResult SignalDaemonToReenumerate() {
    pid_t pid = 0;
    if (!ReadPid(&pid) || !IsDaemon(pid)) return ReenumerateResult::NoDaemon;
    if (::kill(pid, SIGHUP) == 0) return ReenumerateResult::Signalled;
    return errno == ESRCH ? ReenumerateResult::NoDaemon : ReenumerateResult::Failed;
}

} // namespace zelhart::devdb

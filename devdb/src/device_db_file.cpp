// The device database on disk: lock-free reads, locked and atomic writes.
#include "zelhart/devdb/fs_util.h"
#include "zelhart/devdb/device_db.h"
#include "zelhart/devdb/sysroot.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace zelhart::devdb {
namespace {

RefusalObserver& Observer() {
    static RefusalObserver observer = nullptr;
    return observer;
}

// A refused database is reported once on standard error with its reason, as the system would write
// it to its event log, and to the observer (the setup helper's log); the caller sees ERROR_FILE_CORRUPT.
void ReportCorrupt(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "setupapi: device database %s refused: %s\n", path.c_str(), reason.c_str());
    if (RefusalObserver observer = Observer()) observer(path, reason);
}

} // namespace

void SetDatabaseRefusalObserver(RefusalObserver observer) { Observer() = observer; }

DWORD LoadDeviceDatabase(DeviceDatabase* db, std::string* reason) {
    std::string path = DatabasePath(), text;
    DWORD error = detail::ReadWholeFile(path, kMaxDatabaseBytes, &text);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        *db = DeviceDatabase{};
        return ERROR_SUCCESS;
    }
    std::string why;
    if (error == ERROR_INVALID_DATA) {
        why = "larger than " + std::to_string(kMaxDatabaseBytes) + " bytes";
    } else if (error != ERROR_SUCCESS) {
        return error;
    } else if (auto parsed = ParseDeviceDatabase(text, &why)) {
        *db = std::move(*parsed);
        return ERROR_SUCCESS;
    }
    ReportCorrupt(path, why);
    if (reason) *reason = why;
    return ERROR_FILE_CORRUPT;
}

StateLock::StateLock(StateLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

StateLock& StateLock::operator=(StateLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

StateLock::~StateLock() {
    if (fd_ >= 0) ::close(fd_); // closing releases the flock
}

namespace {

// Opens the lock file for writing, creating the state directory first. A directory the caller may not
// write to is refused even for a caller whose permissions are not checked (root on a read-only mount).
DWORD OpenLockFile(int* fd) {
    std::string dir = StateDir();
    if (DWORD e = detail::MakeDirectories(dir); e != ERROR_SUCCESS)
        return e == ERROR_PATH_NOT_FOUND || e == ERROR_ALREADY_EXISTS ? ERROR_ACCESS_DENIED : e;
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK, AT_EACCESS) != 0) return detail::Win32FromErrno(errno);
    *fd = ::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, detail::kReadableFileMode);
    if (*fd < 0) return detail::Win32FromErrno(errno);
    ::fchmod(*fd, detail::kReadableFileMode); // best effort: the lock's mode only matters to readers

    return ERROR_SUCCESS;
}

} // namespace

DWORD StateLock::CheckWriteAccess() {
    int fd = -1;
    DWORD e = OpenLockFile(&fd);
    if (fd >= 0) ::close(fd);
    return e;
}

DWORD StateLock::Acquire(StateLock* lock, int timeoutMs) {
    int fd = -1;
    if (DWORD e = OpenLockFile(&fd); e != ERROR_SUCCESS) return e;
    StateLock held;
    held.fd_ = fd;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return detail::Win32FromErrno(errno);
        if (std::chrono::steady_clock::now() >= deadline) return ERROR_LOCK_VIOLATION;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    *lock = std::move(held);
    return ERROR_SUCCESS;
}

DWORD DeviceDatabaseTransaction::Begin() {
    if (DWORD e = StateLock::Acquire(&lock_); e != ERROR_SUCCESS) return e;
    return LoadDeviceDatabase(&db_);
}

DWORD DeviceDatabaseTransaction::Commit() {
    if (!lock_.held()) return ERROR_INVALID_HANDLE;
    std::string text = SerializeDeviceDatabase(db_);
    // Never write what a reader would refuse.
    std::string why;
    if (!ParseDeviceDatabase(text, &why)) {
        std::fprintf(stderr, "setupapi: device database change refused: %s\n", why.c_str());
        return ERROR_INVALID_DATA;
    }
    return detail::ReplaceFileAtomically(DatabasePath(), text);
}

} // namespace zelhart::devdb

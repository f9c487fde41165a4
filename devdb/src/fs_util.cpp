#include "zelhart/devdb/fs_util.h"

#include "zelhart/platform/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::devdb::detail {

using platform::UniqueFd;

DWORD Win32FromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EWOULDBLOCK: return ERROR_LOCK_VIOLATION;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD ReadWholeFile(const std::string& path, size_t maxBytes, std::string* out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return Win32FromErrno(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Win32FromErrno(errno);
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    std::string data;
    char chunk[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Win32FromErrno(errno);
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > maxBytes) return ERROR_INVALID_DATA;
        data.append(chunk, static_cast<size_t>(n));
    }
    *out = std::move(data);
    return ERROR_SUCCESS;
}

namespace {

DWORD WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Win32FromErrno(errno);
        content.remove_prefix(static_cast<size_t>(n));
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD ReplaceFileAtomically(const std::string& path, std::string_view content) {
    std::string temporary = path + ".new";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kReadableFileMode));
    if (!fd) return Win32FromErrno(errno);
    // The mode is set whatever the caller's umask: the daemon, another user, reads these files.
    DWORD error = ::fchmod(fd.get(), kReadableFileMode) == 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
    if (error == ERROR_SUCCESS) error = WriteAll(fd.get(), content);
    if (error == ERROR_SUCCESS && ::fsync(fd.get()) != 0) error = Win32FromErrno(errno);
    fd.reset();
    if (error == ERROR_SUCCESS && ::rename(temporary.c_str(), path.c_str()) != 0) error = Win32FromErrno(errno);
    if (error != ERROR_SUCCESS) {
        ::unlink(temporary.c_str());
        return error;
    }
    auto slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd) ::fsync(dirFd.get());
    return ERROR_SUCCESS;
}

DWORD MakeDirectories(const std::string& path) {
    // One level at a time, each directory this call creates given 0755 whatever the umask; directories
    // that exist keep their mode.
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string prefix = path.substr(0, end);
        if (!prefix.empty() && prefix.back() != '/') {
            if (::mkdir(prefix.c_str(), kReadableDirectoryMode) == 0) {
                if (::chmod(prefix.c_str(), kReadableDirectoryMode) != 0) return Win32FromErrno(errno);
            } else if (errno != EEXIST) {
                return Win32FromErrno(errno);
            }
        }
        if (end == std::string::npos) break;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_SUCCESS;
    return ERROR_PATH_NOT_FOUND;
}

DWORD RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    return ec ? Win32FromErrno(ec.value()) : ERROR_SUCCESS;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsDeviceIdText(std::string_view text, size_t maxLength) {
    if (text.empty() || text.size() > maxLength) return false;
    for (char c : text)
        if (c <= ' ' || c > '~' || c == ',') return false;
    return true;
}

} // namespace zelhart::devdb::detail

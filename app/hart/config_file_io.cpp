#include "hart/config_file_io.h"

#include "hart/strings.h"

#include <zelhart/platform/unique_fd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

using zelhart::platform::UniqueFd;

namespace {

std::error_code LastError() {
    return {errno, std::system_category()};
}

std::error_code WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

std::string ParentDirectory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates a new, empty file beside `path` with a name nobody else uses.
UniqueFd CreateTemporaryBeside(const std::string& path, std::string& tempPath, std::error_code& error) {
    const std::string dir = ParentDirectory(path);
    const std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        tempPath = dir + "/." + base + "." + suffix + ".tmp";
        UniqueFd fd(::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (fd) return fd;
        if (errno != EEXIST) break;
    }
    error = LastError();
    tempPath.clear();
    return {};
}

// Writes, flushes and closes the temporary file, then renames it over `path`.
std::error_code CompleteReplacement(UniqueFd fd, const std::string& tempPath, const std::string& path,
                                    std::span<const std::uint8_t> bytes) {
    struct stat previous {};
    if (::stat(path.c_str(), &previous) == 0 && S_ISREG(previous.st_mode))
        ::fchmod(fd.get(), previous.st_mode & 07777); // keep the previous file's permissions
    if (std::error_code error = WriteAll(fd.get(), bytes)) return error;
    if (::fsync(fd.get()) != 0) return LastError();
    if (::close(fd.release()) != 0) return LastError();
    if (::rename(tempPath.c_str(), path.c_str()) != 0) return LastError();
    UniqueFd dir(::open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.get()); // make the rename itself durable; its failure loses nothing
    return {};
}

// The file a save of `path` replaces: the path itself, or the file a symbolic link points to.
std::string SaveTarget(const std::string& path, std::error_code& error) {
    if (path.empty() || path.back() == '/') {
        error = std::make_error_code(std::errc::invalid_argument);
        return {};
    }
    std::error_code notALink; // a path that is no link, or does not exist yet, is its own target
    if (!std::filesystem::is_symlink(path, notALink)) return path;
    return std::filesystem::weakly_canonical(path, error).string();
}

} // namespace

std::error_code CheckSaveTarget(const std::string& path) {
    std::error_code error;
    const std::string target = SaveTarget(path, error);
    if (error) return error;
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::is_a_directory);
    } else if (errno != ENOENT) {
        return LastError();
    }
    const std::string parent = ParentDirectory(target);
    if (::stat(parent.c_str(), &info) != 0) return LastError();
    if (!S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::not_a_directory);
    // The new image is made beside the file, so the folder must take a new file.
    if (::access(parent.c_str(), W_OK | X_OK) != 0) return LastError();
    return {};
}

std::error_code SaveFileReplacing(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::error_code error;
    // Saving through a symbolic link replaces the file it points to, not the link.
    const std::string target = SaveTarget(path, error);
    if (error) return error;
    std::string tempPath;
    UniqueFd fd = CreateTemporaryBeside(target, tempPath, error);
    if (!fd) return error;
    error = CompleteReplacement(std::move(fd), tempPath, target, bytes);
    if (error) ::unlink(tempPath.c_str());
    return error;
}

std::error_code SaveConfigurationFile(const std::string& path, const CTransmitterModel& model) {
    const ConfigFileImage image = SerializeConfiguration(model);
    return SaveFileReplacing(path, image);
}

ConfigLoadResult ReadConfigurationFile(const std::string& path, std::error_code* error) {
    auto cannotRead = [&](std::error_code reason) {
        if (error) *error = reason;
        ConfigLoadResult result;
        result.status = ConfigLoadStatus::CannotRead;
        result.messages = {FileMessageOf(zelhart::hart::str::kFailedToOpenDocument)};
        return result;
    };
    // Non-blocking, so that a FIFO or a device named by mistake cannot hang the open.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) return cannotRead(LastError());
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return cannotRead(LastError());
    if (S_ISDIR(info.st_mode)) return cannotRead(std::make_error_code(std::errc::is_a_directory));
    if (!S_ISREG(info.st_mode)) return cannotRead(std::make_error_code(std::errc::invalid_argument));

    // Bytes after the image are ignored, so only the image is read, whatever the file's size.
    ConfigFileImage image{};
    std::size_t got = 0;
    while (got < image.size()) {
        const ssize_t n = ::read(fd.get(), image.data() + got, image.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return cannotRead(LastError());
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (error) error->clear();
    return ParseConfiguration(std::span<const std::uint8_t>(image.data(), got));
}

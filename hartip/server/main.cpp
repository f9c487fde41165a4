// zelhart-hartipd: the daemon's COM ports served as HART-IP endpoints (see the manual page).
#include "options.h"
#include "server.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace zelhart::hartip::server;

// The key file must be a regular file owned by root (or by the server's own user, which is how
// systemd hands a credential over) that no one else may read or write.
bool LoadKeys(const std::string& path, std::vector<PskEntry>& keys, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) error = path + ": " + std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) error = path + ": not a regular file", ok = false;
    else if (st.st_uid != 0 && st.st_uid != ::geteuid()) error = path + ": not owned by root", ok = false;
    else if ((st.st_mode & 077) != 0) error = path + ": readable or writable by others (chmod 600)", ok = false;
    else if (static_cast<std::size_t>(st.st_size) > kMaxPskFileSize) error = path + ": too large", ok = false;
    if (ok) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof(buffer))) > 0 && text.size() <= kMaxPskFileSize)
            text.append(buffer, static_cast<std::size_t>(n));
        std::string parseError;
        auto parsed = ParsePskFile(text, parseError);
        if (!parsed) error = path + ": " + parseError, ok = false;
        else keys = std::move(*parsed);
    }
    ::close(fd);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    bool help = false;
    auto options = ParseOptions(args, error, &help);
    if (!options) {
        std::fputs(help ? error.c_str() : ("zelhart-hartipd: " + error + "\n" + std::string(Usage())).c_str(),
                   help ? stdout : stderr);
        return help ? 0 : 2;
    }
    // Under systemd the key file may come as the credential "hartip.psk".
    if (options->pskFile.empty())
        if (const char* dir = std::getenv("CREDENTIALS_DIRECTORY"); dir && *dir) {
            const std::string credential = std::string(dir) + "/hartip.psk";
            if (::access(credential.c_str(), F_OK) == 0) options->pskFile = credential;
        }
    std::vector<PskEntry> keys;
    if (!options->pskFile.empty() && !LoadKeys(options->pskFile, keys, error)) {
        std::fprintf(stderr, "zelhart-hartipd: %s\n", error.c_str());
        return 2;
    }
    Server server;
    if (!server.Start(*options, std::move(keys), error)) {
        std::fprintf(stderr, "zelhart-hartipd: %s\n", error.c_str());
        return 1;
    }
    if (options->readyFd >= 0) {
        const std::string line = server.PortsText() + "\n";
        if (::write(options->readyFd, line.data(), line.size()) < 0) {
        }
        ::close(options->readyFd);
    }
    return server.Run();
}

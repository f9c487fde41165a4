#include "zelhart/platform/socket_access.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::platform {

bool PeerMayConnect(const SocketAccessRule& rule, uid_t peerUid, gid_t peerGid, std::span<const gid_t> peerGroups) {
    if (peerUid == 0 || rule.everybody) return true;
    if (!rule.group) return peerUid == rule.owner;
    return peerGid == *rule.group || std::find(peerGroups.begin(), peerGroups.end(), *rule.group) != peerGroups.end();
}

std::vector<gid_t> ParseStatusGroups(std::string_view text) {
    std::vector<gid_t> groups;
    size_t at = text.starts_with("Groups:") ? 0 : text.find("\nGroups:");
    if (at == std::string_view::npos) return groups;
    text.remove_prefix(at + (text[at] == '\n' ? 1 : 0) + 7);
    text = text.substr(0, text.find('\n'));
    while (!text.empty()) {
        size_t skip = text.find_first_not_of(" \t");
        if (skip == std::string_view::npos) break;
        text.remove_prefix(skip);
        gid_t gid = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), gid);
        if (ec != std::errc()) break; // not a number: the line ends here
        groups.push_back(gid);
        text.remove_prefix(size_t(end - text.data()));
        if (groups.size() >= 65536) break; // the kernel's own limit
    }
    return groups;
}

std::vector<gid_t> PeerGroups(int sock, pid_t pid) {
#ifdef SO_PEERGROUPS
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        socklen_t length = socklen_t(groups.size() * sizeof(gid_t));
        if (::getsockopt(sock, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE || length / sizeof(gid_t) > 65536) break;
        groups.resize(length / sizeof(gid_t)); // told how many there are
    }
#endif
    if (pid <= 0) return {};
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::ostringstream text;
    text << status.rdbuf();
    return ParseStatusGroups(text.str());
}

std::optional<gid_t> LookupGroup(const std::string& name) {
    if (name.empty()) return std::nullopt;
    group entry{}, *found = nullptr;
    std::vector<char> buffer(16384);
    while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found) return std::nullopt;
    return found->gr_gid;
}

std::string GroupName(gid_t gid) {
    group entry{}, *found = nullptr;
    std::vector<char> buffer(16384);
    while (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found ? std::string(found->gr_name) : std::to_string(gid);
}

std::string GiveToGroup(const std::string& path, gid_t group, unsigned mode) {
    if (::chown(path.c_str(), uid_t(-1), group) != 0)
        return path + ": cannot give it to group " + GroupName(group) + ": " + std::strerror(errno);
    if (::chmod(path.c_str(), mode) != 0) return path + ": cannot set its mode: " + std::strerror(errno);
    return {};
}

} // namespace zelhart::platform

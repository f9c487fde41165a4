#include "zelhart/platform/serial_port_map.h"

#include "zelhart/platform/remote_port.h"
#include "zelhart/platform/runtime_dir.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace zelhart::platform {
namespace {

constexpr size_t kMaxConfLine = 1024;
constexpr size_t kMaxConfLines = 4096;
constexpr size_t kMaxDirEntries = 65536;

std::optional<int> ParseNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    int value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::string Trim(std::string_view s) {
    auto b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) return {};
    auto e = s.find_last_not_of(" \t\r");
    return std::string(s.substr(b, e - b + 1));
}

// Canonical form of a path for comparisons; the path itself when it cannot be resolved.
std::string Canonical(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) return buf;
    return path;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        if (names.size() >= kMaxDirEntries) break;
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(std::move(n));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

class MapBuilder {
public:
    void Add(int number, std::string path, SerialPortEntry::Source source) {
        if (number < 1 || number > kMaxComNumber) return;
        std::string canon = Canonical(path);
        if (numbers_.count(number) || paths_.count(canon)) return; // an earlier source has it
        numbers_.insert(number);
        paths_.insert(canon);
        entries_.push_back({std::move(path), "COM" + std::to_string(number), number, source});
    }
    // A remote port claims its number as a device would; it has no device path.
    void AddRemote(int number, RemoteEndpoint endpoint) {
        if (number < 1 || number > kMaxComNumber || numbers_.count(number)) return;
        numbers_.insert(number);
        remote_.push_back({number, "COM" + std::to_string(number), std::move(endpoint)});
    }
    std::vector<RemotePortEntry> TakeRemote() {
        std::sort(remote_.begin(), remote_.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
        return std::move(remote_);
    }
    std::vector<SerialPortEntry> Take() {
        std::sort(entries_.begin(), entries_.end(),
                  [](const auto& a, const auto& b) { return a.number < b.number; });
        return std::move(entries_);
    }

private:
    std::set<int> numbers_;
    std::set<std::string> paths_;
    std::vector<SerialPortEntry> entries_;
    std::vector<RemotePortEntry> remote_;
};

void AddExplicit(MapBuilder& map, const std::string& portsDir) {
    if (portsDir.empty()) return;
    for (const auto& name : ListDir(portsDir)) {
        auto number = ParseComName(name);
        if (!number) continue;
        std::string link = portsDir + "/" + name;
        char target[PATH_MAX];
        ssize_t n = ::readlink(link.c_str(), target, sizeof(target) - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        std::string path = target;
        if (path.front() != '/') path = portsDir + "/" + path;
        if (!Exists(path)) continue; // left behind by a simulator that died
        map.Add(*number, path, SerialPortEntry::Source::Explicit);
    }
}

// The lines "COM<n>=<absolute path>" and "COM<n>=hartip://..." of the static file, whether their
// device exists or not.
std::vector<std::pair<int, std::string>> ReadStaticLines(const std::string& confPath) {
    std::vector<std::pair<int, std::string>> lines;
    if (confPath.empty()) return lines;
    std::ifstream in(confPath);
    if (!in) return lines;
    std::string line;
    for (size_t count = 0; count < kMaxConfLines && std::getline(in, line); ++count) {
        if (line.size() > kMaxConfLine) continue;
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        auto eq = t.find('=');
        if (eq == std::string::npos) continue;
        auto number = ParseComName(Trim(std::string_view(t).substr(0, eq)));
        std::string path = Trim(std::string_view(t).substr(eq + 1));
        if (!number || path.empty() || (path[0] != '/' && !IsRemoteUrl(path))) continue;
        lines.emplace_back(*number, std::move(path));
    }
    return lines;
}

void AddStatic(MapBuilder& map, const std::string& confPath) {
    for (auto& [number, path] : ReadStaticLines(confPath)) {
        if (IsRemoteUrl(path)) {
            if (auto endpoint = ParseRemoteEndpoint(path)) map.AddRemote(number, std::move(*endpoint));
        } else if (Exists(path)) {
            map.Add(number, path, SerialPortEntry::Source::Static);
        }
    }
}

// A ttyS node exists for every possible 8250 port; only those with a known UART type are real.
bool HasSerialHardware(const std::string& sysTtyDir, const std::string& name) {
    if (sysTtyDir.empty()) return false;
    std::ifstream in(sysTtyDir + "/" + name + "/type");
    int type = 0;
    if (!(in >> type)) return false;
    return type != 0;
}

void AddAutomatic(MapBuilder& map, const SerialPortMapSources& src) {
    if (src.devDir.empty()) return;
    struct Family {
        std::string_view prefix;
        int offset;
    };
    static constexpr Family kFamilies[] = {{"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}};
    for (const auto& name : ListDir(src.devDir)) {
        for (const auto& f : kFamilies) {
            if (name.size() <= f.prefix.size() || name.compare(0, f.prefix.size(), f.prefix) != 0) continue;
            auto k = ParseNumber(std::string_view(name).substr(f.prefix.size()));
            if (!k) continue;
            if (f.prefix == "ttyS" && !HasSerialHardware(src.sysTtyDir, name)) continue;
            map.Add(*k + f.offset, src.devDir + "/" + name, SerialPortEntry::Source::Automatic);
        }
    }
}

} // namespace

SerialPortMapSources DefaultSerialPortMapSources() {
    return {PortsDir(), ConfigDir() + "/ports.conf", "/dev", "/sys/class/tty"};
}

std::optional<int> ParseComName(std::string_view name) {
    if (name.size() < 4) return std::nullopt;
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; };
    if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M') return std::nullopt;
    auto digits = name.substr(3);
    if (digits[0] == '0') return std::nullopt;
    auto n = ParseNumber(digits);
    if (!n || *n < 1 || *n > kMaxComNumber) return std::nullopt;
    return n;
}

std::vector<std::string> StaticPortPaths(const std::string& confPath) {
    std::vector<std::string> paths;
    for (auto& [number, path] : ReadStaticLines(confPath))
        if (!IsRemoteUrl(path)) paths.push_back(std::move(path));
    return paths;
}

std::vector<SerialPortEntry> ReadSerialPortMap(const SerialPortMapSources& sources) {
    MapBuilder map;
    AddExplicit(map, sources.portsDir);
    AddStatic(map, sources.portsConf);
    AddAutomatic(map, sources);
    return map.Take();
}

std::vector<SerialPortEntry> ReadSerialPortMap() { return ReadSerialPortMap(DefaultSerialPortMapSources()); }

std::vector<RemotePortEntry> ReadRemotePorts(const SerialPortMapSources& sources) {
    MapBuilder map;
    AddExplicit(map, sources.portsDir);
    AddStatic(map, sources.portsConf);
    return map.TakeRemote();
}

std::optional<RemoteEndpoint> LookupRemotePort(int number, const SerialPortMapSources& sources) {
    for (auto& e : ReadRemotePorts(sources))
        if (e.number == number) return std::move(e.endpoint);
    return std::nullopt;
}

std::optional<std::string> LookupComPort(int number, const SerialPortMapSources& sources) {
    for (auto& e : ReadSerialPortMap(sources))
        if (e.number == number) return e.devicePath;
    return std::nullopt;
}

std::optional<std::string> LookupComPort(int number) {
    return LookupComPort(number, DefaultSerialPortMapSources());
}

std::optional<std::string> ComNameForPath(const std::string& devicePath, const SerialPortMapSources& sources) {
    std::string canon = Canonical(devicePath);
    for (auto& e : ReadSerialPortMap(sources))
        if (e.devicePath == devicePath || Canonical(e.devicePath) == canon) return e.comName;
    return std::nullopt;
}

int RegisterComPort(const std::string& portsDir, int number, const std::string& target) {
    if (number < 1 || number > kMaxComNumber) return EINVAL;
    if (!MakeDirs(portsDir)) return errno ? errno : EIO;
    std::string link = portsDir + "/COM" + std::to_string(number);
    std::string tmp = link + ".tmp" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0) return errno;
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        return e;
    }
    return 0;
}

int FreeComNumber(const SerialPortMapSources& sources) {
    std::set<int> taken;
    for (const auto& e : ReadSerialPortMap(sources)) taken.insert(e.number);
    for (int n = kFirstSimulatorComNumber; n <= kLastSimulatorComNumber; ++n)
        if (!taken.count(n)) return n;
    return 0;
}

int RegisterFreeComPort(const SerialPortMapSources& sources, const std::string& target, int* number) {
    if (sources.portsDir.empty() || !number) return EINVAL;
    if (!MakeDirs(sources.portsDir)) return errno ? errno : EIO;
    std::set<int> taken;
    for (const auto& e : ReadSerialPortMap(sources)) taken.insert(e.number);
    for (int n = kFirstSimulatorComNumber; n <= kLastSimulatorComNumber; ++n) {
        if (taken.count(n)) continue;
        const std::string link = sources.portsDir + "/COM" + std::to_string(n);
        if (::symlink(target.c_str(), link.c_str()) == 0) {
            *number = n;
            return 0;
        }
        if (errno != EEXIST) return errno;
        // A link is there: another simulator's, just made, or one left behind by a simulator that
        // died (its target is gone). Only the latter is taken over.
        struct stat st {};
        if (::stat(link.c_str(), &st) != 0 && errno == ENOENT && RegisterComPort(sources.portsDir, n, target) == 0) {
            *number = n;
            return 0;
        }
    }
    return EBUSY;
}

bool IsSimulatedPort(const SerialPortEntry& entry) {
    if (entry.source != SerialPortEntry::Source::Explicit) return false;
    struct stat st {};
    if (::stat(entry.devicePath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    // UNIX98 pseudo-terminal slaves: majors 136..143.
    const unsigned major = ::major(st.st_rdev);
    return major >= 136 && major <= 143;
}

int UnregisterComPort(const std::string& portsDir, int number) {
    std::string link = portsDir + "/COM" + std::to_string(number);
    return ::unlink(link.c_str()) == 0 ? 0 : errno;
}

} // namespace zelhart::platform

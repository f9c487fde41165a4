// libFuzzer target: the serial port map's three sources, made from the input in a private directory
// and read with ReadSerialPortMap, LookupComPort and ComNameForPath.
//
// Input: three parts separated by NUL bytes; "@/" stands for the private directory and a slash (its
// name changes from run to run).
//   1. the text of ports.conf, as it stands;
//   2. links, one a line: NAME TARGET -> <ports dir>/NAME, a symbolic link to TARGET (at most 32;
//      NAME a single path component);
//   3. device nodes, one a line: NAME [TYPE] -> <dev dir>/NAME, a plain file, and with TYPE the file
//      <sys dir>/NAME/type holding it (what tells a real ttyS port from an empty one; at most 32).
//
// Checked for every input: the map is ordered by COM number, numbers are unique and within
// 1..kMaxComNumber, every COM name is "COM" and its number, every device path exists, and each
// entry is found again by its number and by its path.
#include "fuzz_support.h"
#include "zelhart/platform/serial_port_map.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace zelhart::platform;

constexpr size_t kMaxEntries = 32;
constexpr size_t kMaxTarget = 4095;

[[noreturn]] void Die(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "port map fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

std::string g_root; // the private directory

// Empties a directory of ours, one level of subdirectories included (the sys dir's <name>/type).
void Clear(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
        if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
            names.push_back(e->d_name);
    ::closedir(d);
    for (const std::string& n : names) {
        const std::string path = dir + "/" + n;
        if (::unlink(path.c_str()) != 0 && errno == EISDIR) {
            ::unlink((path + "/type").c_str());
            ::rmdir(path.c_str());
        }
    }
}

// "@/" stands for the private directory.
std::string Expand(std::string_view text) {
    std::string out(text);
    for (size_t at = out.find("@/"); at != std::string::npos; at = out.find("@/", at + g_root.size()))
        out.replace(at, 1, g_root);
    return out;
}

bool IsComponent(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty() && lines.size() < kMaxEntries) {
        const size_t nl = text.find('\n');
        lines.push_back(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    return lines;
}

std::string_view Part(std::string_view& rest) {
    const size_t nul = rest.find('\0');
    std::string_view part = rest.substr(0, nul);
    rest.remove_prefix(nul == std::string_view::npos ? rest.size() : nul + 1);
    return part;
}

void Check(const std::vector<SerialPortEntry>& map, const SerialPortMapSources& sources) {
    int previous = 0;
    for (const SerialPortEntry& e : map) {
        if (e.number <= previous || e.number > kMaxComNumber) Die("numbers out of order or range", e.comName);
        previous = e.number;
        if (e.comName != "COM" + std::to_string(e.number) || ParseComName(e.comName) != e.number)
            Die("a COM name that is not its number", e.comName);
        struct stat st {};
        if (::stat(e.devicePath.c_str(), &st) != 0) Die("a device path that does not exist", e.devicePath);
        if (LookupComPort(e.number, sources) != e.devicePath)
            Die("an entry not found by its number", e.comName);
        if (ComNameForPath(e.devicePath, sources) != e.comName)
            Die("an entry not found by its path", e.devicePath);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = zelhart::fuzz::MakePrivateDir("port-map-fuzz");
    for (const char* sub : {"/ports", "/etc", "/dev", "/sys"})
        if (::mkdir((g_root + sub).c_str(), 0755) != 0) Die("mkdir", g_root + sub);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const SerialPortMapSources sources{g_root + "/ports", g_root + "/etc/ports.conf", g_root + "/dev",
                                       g_root + "/sys"};
    for (const char* sub : {"/ports", "/dev", "/sys"})
        Clear(g_root + sub);

    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::ofstream(sources.portsConf, std::ios::binary | std::ios::trunc) << Expand(Part(rest));

    for (std::string_view line : Lines(Part(rest))) {
        const size_t space = line.find(' ');
        if (space == std::string_view::npos || !IsComponent(line.substr(0, space))) continue;
        const std::string target = Expand(line.substr(space + 1, kMaxTarget));
        if (target.empty()) continue;
        (void)::symlink(target.c_str(),
                        (sources.portsDir + "/" + std::string(line.substr(0, space))).c_str());
    }
    for (std::string_view line : Lines(Part(rest))) {
        const size_t space = line.find(' ');
        const std::string name(line.substr(0, space));
        if (!IsComponent(name)) continue;
        std::ofstream(sources.devDir + "/" + name).put('\0');
        if (space == std::string_view::npos) continue;
        if (::mkdir((sources.sysTtyDir + "/" + name).c_str(), 0755) != 0 && errno != EEXIST) continue;
        std::ofstream(sources.sysTtyDir + "/" + name + "/type") << line.substr(space + 1);
    }

    Check(ReadSerialPortMap(sources), sources);
    return 0;
}

#include "setup_fixture.h"

#include "zelhart/setupapi/difxapi.h"
#include "zelhart/sim/child_process.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zelhart::setup::testing {

namespace fs = std::filesystem;

DeviceNode Node(std::string id, std::vector<std::string> hardwareIds, std::string parent, uint32_t status) {
    DeviceNode n;
    n.instanceId = std::move(id);
    n.hardwareIds = std::move(hardwareIds);
    n.parent = std::move(parent);
    n.status = status;
    return n;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path) { return fs::exists(path); }

std::string ModemFilterInf(const std::string& maker, const std::string& hardwareId) {
    return "[Version]\n"
           "Signature = \"$Windows NT$\"\n"
           "Class = Ports\n"
           "ClassGuid = {4D36E978-E325-11CE-BFC1-08002BE10318}\n"
           "Provider = %Maker%\n"
           "[Manufacturer]\n"
           "%Maker% = Models\n"
           "[Models]\n"
           "%Desc% = Modem_Install, " + hardwareId + "\n"
           "[Modem_Install]\n"
           "[Modem_Install.HW]\n"
           "AddReg = Modem_Filter\n"
           "[Modem_Filter]\n"
           "HKR,,\"UpperFilters\",0x00010000,\"ZelHartFlt\"\n"
           "[Modem_Install.Services]\n"
           "AddService = usbser, 0x00000002, Serial_Service\n"
           "AddService = ZelHartFlt,, Filter_Service\n"
           "[Serial_Service]\n"
           "[Filter_Service]\n"
           "[Strings]\n"
           "Maker = \"" + maker + "\"\n"
           "Desc = \"HART modem\"\n";
}

void SetupTest::SetUp() {
    ::setenv("ZELHART_SYSROOT", Root().c_str(), 1);
    ::setenv("ZELHART_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
    fs::create_directories(dir_ / "run");
}

void SetupTest::TearDown() {
    ::unsetenv("ZELHART_SYSROOT");
    ::unsetenv("ZELHART_RUNTIME_DIR");
}

SetupTest::Result SetupTest::Helper(const std::string& commandLine) {
    sim::ChildSpec spec;
    spec.executable = "/bin/sh";
    spec.args = {"-c", "cd \"$1\" && shift && exec \"$@\"", "sh", Dir(),
                 sim::ExecutableBesideThisProgram("ZelHartDriverSetupCustomAction")};
    if (!commandLine.empty()) spec.args.push_back(commandLine);
    spec.env = {{"ZELHART_SYSROOT", Root()}, {"ZELHART_RUNTIME_DIR", dir_ / "run"}};
    auto r = sim::RunToExit(spec, std::chrono::seconds(30));
    if (!r) {
        ADD_FAILURE() << "the helper did not finish: " << commandLine;
        return {};
    }
    return {r->first, r->second};
}

void SetupTest::WriteDatabase(const std::vector<DeviceNode>& nodes) {
    DeviceDatabase db;
    db.nodes = nodes;
    WriteFile(DatabaseFile(), devdb::SerializeDeviceDatabase(db));
}

DeviceDatabase SetupTest::Database() {
    DeviceDatabase db;
    std::string reason;
    EXPECT_EQ(devdb::LoadDeviceDatabase(&db, &reason), setupapi::ERROR_SUCCESS) << reason;
    return db;
}

std::string SetupTest::WriteInf(const std::string& name, const std::string& text) {
    std::string path = dir_ / ("packages/" + name);
    WriteFile(path, text);
    return path;
}

void SetupTest::StorePackage(const std::string& infPath) {
    ASSERT_EQ(setupapi::DriverPackagePreinstallW(infPath.c_str(), 0), setupapi::ERROR_SUCCESS) << infPath;
}

std::vector<std::string> SetupTest::OemFiles() {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(Root() + "/var/lib/zelhart/inf", ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void SetupTest::MakeRootReadOnly() {
    std::string lock = Root() + "/var/lib/zelhart/lock";
    fs::remove(lock);
    fs::create_directories(lock);
}

} // namespace zelhart::setup::testing

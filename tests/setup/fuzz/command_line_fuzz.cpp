// libFuzzer target: the command line of ZelHartDriverSetupCustomAction, run in-process by SetupMain
// as the installer runs the helper, on a private system root ($ZELHART_SYSROOT) and runtime directory.
//
// Every run starts from the same state: the product's package installed with its one device node
// (made once by the helper itself). It runs in a private working directory holding the files a
// command line may name: ZelHartDriver.inf (the product's package), broken.inf, link.inf (a symbolic
// link to the package), folder.inf (a directory) and pipe.inf (a FIFO nobody writes or reads). So
// that nothing outside that directory is touched, every '/' of the input becomes '_': each path is a
// name in the working directory. Whatever a run creates there (its log) is removed after it.
//
// Checked for every input: the run ends (within libFuzzer's time-out), with one of the helper's exit
// codes, and leaves a device database the setup services still read.
#include "fuzz_support.h"
#include "setup_log.h"
#include "setup_main.h"
#include "zelhart/devdb/device_db.h"

#include <sanitizer/common_interface_defs.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace zelhart;

struct World {
    fs::path root, sysroot, snapshot, work, home;
    std::set<std::string> fixtures;
};
World* g_world = nullptr;

// Standard error is closed for the helper's echo (-close_fd_mask=2): the reason goes where the
// sanitizers report.
[[noreturn]] void Die(const std::string& what) {
    __sanitizer_report_error_summary(("SUMMARY: command line fuzz: " + what).c_str());
    std::abort();
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) Die("cannot write " + path.string());
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int Run(const std::string& commandLine) {
    setup::ResetLogSettings();
    if (::chdir(g_world->work.c_str()) != 0) Die("chdir");
    const int code = setup::SetupMain(commandLine);
    if (::chdir(g_world->home.c_str()) != 0) Die("chdir back");
    return code;
}

void RestoreState() {
    std::error_code ec;
    // libFuzzer's timer signal (SIGALRM, every second) may interrupt the copy, which does not retry.
    for (int attempt = 0; attempt < 10; ++attempt) {
        fs::remove_all(g_world->sysroot, ec);
        fs::copy(g_world->snapshot, g_world->sysroot,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec != std::errc::interrupted) break;
    }
    if (ec) Die("cannot restore the system root: " + ec.message());
    for (const auto& entry : fs::directory_iterator(g_world->work))
        if (!g_world->fixtures.count(entry.path().filename().string())) fs::remove_all(entry.path(), ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static World world;
    g_world = &world;
    world.root = zelhart::fuzz::MakePrivateDir("setup-fuzz");
    world.sysroot = world.root / "root";
    world.snapshot = world.root / "snapshot";
    world.work = world.root / "work";
    world.home = fs::current_path();
    fs::create_directories(world.sysroot);
    fs::create_directories(world.work);
    ::setenv("ZELHART_SYSROOT", world.sysroot.c_str(), 1);
    ::setenv("ZELHART_RUNTIME_DIR", (world.root / "run").c_str(), 1);

    WriteText(world.work / "ZelHartDriver.inf", ReadText(ZELHART_PRODUCT_INF));
    WriteText(world.work / "broken.inf", "[Version]\nSignature=\"$Windows NT$\nClass=Ports\n");
    fs::create_symlink("ZelHartDriver.inf", world.work / "link.inf");
    fs::create_directory(world.work / "folder.inf");
    if (::mkfifo((world.work / "pipe.inf").c_str(), 0600) != 0) Die("mkfifo");
    for (const auto& entry : fs::directory_iterator(world.work))
        world.fixtures.insert(entry.path().filename().string());

    // The state every run starts from: the package installed, its device node created.
    if (Run("-DriverPackageInstall,ZelHartDriver.inf,init.log") != setup::kExitSuccess ||
        Run("-DeviceNodeCreate,ZelHartDriver.inf,ROOT\\ZelHartDriver,init.log") != setup::kExitSuccess)
        Die("the product's package does not install: " + ReadText(world.work / "init.log"));
    fs::copy(world.sysroot, world.snapshot, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    RestoreState();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string commandLine(reinterpret_cast<const char*>(data), size);
    for (char& c : commandLine)
        if (c == '/') c = '_';
    const int code = Run(commandLine) & 0xFF; // the exit status the installer sees
    if (code != 0 && code != 1 && code != 2 && code != 5 && code != 255)
        Die("an exit code the helper does not give: " + std::to_string(code));
    devdb::DeviceDatabase db;
    std::string reason;
    if (devdb::LoadDeviceDatabase(&db, &reason) != devdb::ERROR_SUCCESS)
        Die("the run left a database the services refuse: " + reason);
    RestoreState();
    return 0;
}

// The daemon short of descriptors: started with a low open-file limit and flooded with connections
// that never say hello, it stays idle, closes the silent ones after the hello deadline and serves a
// well-behaved client again.
#include "daemon_fixture.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelhart::testing {
namespace {

using platform::UniqueFd;

// ZelHartDriver with the open-file limit set in the child before it runs the daemon.
class LimitedDaemon {
  public:
    ~LimitedDaemon() { Stop(); }

    // An empty text, or what went wrong.
    std::string Start(const std::string& runDir, const std::string& configDir, rlimit limit) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return "pipe";
        UniqueFd readEnd(ready[0]), writeEnd(ready[1]);
        std::string exe = hartdriver::DefaultDaemonExecutable();
        std::vector<std::string> args{exe,       "--runtime-dir", runDir, "--config-dir",
                                      configDir, "--ready-fd",    "3"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) return "fork";
        if (pid_ == 0) { // only async-signal-safe calls from here on
            ::setrlimit(RLIMIT_NOFILE, &limit);
            if (writeEnd.get() == 3)
                ::fcntl(3, F_SETFD, 0);
            else
                ::dup2(writeEnd.get(), 3);
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        writeEnd.reset();
        pollfd p{readEnd.get(), POLLIN, 0};
        char line[256];
        if (::poll(&p, 1, 10000) <= 0 || ::read(readEnd.get(), line, sizeof line) <= 0)
            return "the daemon did not get ready";
        return "";
    }

    // SIGTERM; the exit status.
    int Stop() {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// User and system CPU time of a process so far, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2)); // fields 3 on
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The soft limit of open files of a process ("Max open files" in its limits).
std::string SoftOpenFileLimit(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream words(line.substr(std::strlen("Max open files")));
            std::string soft;
            words >> soft;
            return soft;
        }
    return "";
}

// A connection that never says anything; empty when the socket's backlog is full.
UniqueFd SilentConnection() {
    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = platform::iomgr::SocketPath();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return {};
    return sock;
}

// The daemon hung up on the connection within `timeout`.
bool HungUpWithin(const UniqueFd& sock, std::chrono::milliseconds timeout) {
    pollfd p{sock.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    uint8_t byte;
    return ::recv(sock.get(), &byte, 1, MSG_DONTWAIT) <= 0;
}

class DescriptorTest : public DaemonTest {};

TEST_F(DescriptorTest, SilentClientsBeyondTheDescriptorLimitCostNoTimeAndAreClosedAfterTheHelloDeadline) {
    LimitedDaemon daemon;
    ASSERT_EQ(daemon.Start(run_, etc_, rlimit{40, 64}), "");
    EXPECT_EQ(SoftOpenFileLimit(daemon.pid()), "64"); // raised to the hard limit at start

    // More than the daemon has descriptors for: it takes what it can, the rest wait in the backlog.
    std::vector<UniqueFd> silent;
    ASSERT_TRUE(WaitUntil([&] {
        if (UniqueFd sock = SilentConnection()) silent.push_back(std::move(sock));
        return silent.size() == 80;
    }));

    // Out of descriptors with clients still waiting: the daemon must not spin on its socket.
    double before = CpuSeconds(daemon.pid());
    std::this_thread::sleep_for(2500ms);
    EXPECT_LT(CpuSeconds(daemon.pid()) - before, 0.25);

    // The first connections were accepted and said nothing: closed after the hello deadline (3 s).
    EXPECT_TRUE(HungUpWithin(silent.front(), 10000ms));
    // A client that says hello is served again, silent ones still connected or not.
    std::string path;
    EXPECT_EQ(
        platform::iomgr::LookupDeviceInterface(*platform::ParseGuid(kHartFunctionDeviceInterface), 0, &path),
        platform::ERROR_SUCCESS);
    EXPECT_EQ(daemon.Stop(), 0);
}

} // namespace
} // namespace zelhart::testing

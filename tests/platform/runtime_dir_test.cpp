#include "zelhart/platform/runtime_dir.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zelhart::platform;

namespace {

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_) ::setenv(name_, old_.c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

} // namespace

TEST(RuntimeDir, EnvironmentOverridesEverything) {
    ScopedEnv run("ZELHART_RUNTIME_DIR", "/some/private/dir");
    ScopedEnv cfg("ZELHART_CONFIG_DIR", "/some/config");
    EXPECT_EQ(RuntimeDir(), "/some/private/dir");
    EXPECT_EQ(PortsDir(), "/some/private/dir/ports");
    EXPECT_EQ(ConfigDir(), "/some/config");
}

TEST(RuntimeDir, DefaultsWithoutEnvironment) {
    ScopedEnv run("ZELHART_RUNTIME_DIR", nullptr);
    ScopedEnv cfg("ZELHART_CONFIG_DIR", nullptr);
    EXPECT_EQ(ConfigDir(), "/etc/zelhart");
    for (auto role : {RuntimeRole::kClient, RuntimeRole::kDaemon}) {
        std::string dir = RuntimeDir(role);
        EXPECT_TRUE(dir == "/run/zelhart" || dir.ends_with("/zelhart") || dir.starts_with("/tmp/zelhart-")) << dir;
    }
}

namespace {

// The rule as an unprivileged user sees it: in a child that has dropped root (uid and gid 65534), so
// that a directory of mode 0555 is really not writable; for anyone else the mode alone does that.
std::string ChooseUnprivileged(RuntimeRole role, const RuntimeDirInputs& inputs) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
        std::string dir = ChooseRuntimeDir(role, inputs);
        ssize_t n = ::write(fds[1], dir.data(), dir.size());
        ::_exit(n == ssize_t(dir.size()) ? 0 : 3);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "child failed";
}

} // namespace

// The installed daemon's directory is 0755 and its own: clients find the socket there all the same,
// and only the daemon itself falls back to a per-user directory when it cannot create it.
TEST(RuntimeDir, ClientAndDaemonRules) {
    zelhart::testing::TempDir tmp;
    ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
    struct Unlock { // so that the directory can be removed by a caller who is not root
        std::string dirs[2];
        ~Unlock() { for (auto& d : dirs) ::chmod(d.c_str(), 0755); }
    } unlock{{tmp / "run-installed", tmp / "run-installed/zelhart"}};
    const std::string installedRoot = tmp / "run-installed", writableRoot = tmp / "run-writable",
                      lockedRoot = tmp / "run-locked", absentRoot = tmp / "absent";
    for (const auto& dir : {installedRoot + "/zelhart", writableRoot, lockedRoot}) ASSERT_TRUE(MakeDirs(dir));
    for (const auto& dir : {installedRoot + "/zelhart", installedRoot, lockedRoot})
        ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(writableRoot.c_str(), 0777), 0);

    struct Case {
        RuntimeRole role;
        std::string env, runRoot, xdg;
        std::string expected;
    };
    const std::string xdg = tmp / "xdg";
    const Case cases[] = {
        {RuntimeRole::kClient, "/private", installedRoot, xdg, "/private"},
        {RuntimeRole::kDaemon, "/private", installedRoot, xdg, "/private"},
        {RuntimeRole::kClient, "", installedRoot, xdg, installedRoot + "/zelhart"},
        {RuntimeRole::kDaemon, "", installedRoot, xdg, installedRoot + "/zelhart"},
        {RuntimeRole::kClient, "", writableRoot, xdg, xdg + "/zelhart"},
        {RuntimeRole::kDaemon, "", writableRoot, xdg, writableRoot + "/zelhart"},
        {RuntimeRole::kDaemon, "", lockedRoot, xdg, xdg + "/zelhart"},
        {RuntimeRole::kClient, "", absentRoot, xdg, xdg + "/zelhart"},
        {RuntimeRole::kDaemon, "", absentRoot, "", "/tmp/zelhart-77"},
        {RuntimeRole::kClient, "", absentRoot, "", "/tmp/zelhart-77"},
    };
    for (const auto& c : cases) {
        RuntimeDirInputs inputs{c.env, c.xdg, c.runRoot, 77};
        EXPECT_EQ(ChooseUnprivileged(c.role, inputs), c.expected)
            << (c.role == RuntimeRole::kClient ? "client" : "daemon") << " with root " << c.runRoot;
    }
}

TEST(RuntimeDir, MakeDirsCreatesParents) {
    zelhart::testing::TempDir tmp;
    std::string deep = tmp / "a/b/c";
    EXPECT_TRUE(MakeDirs(deep));
    EXPECT_TRUE(MakeDirs(deep)); // already there
    struct stat st {};
    EXPECT_EQ(::stat(deep.c_str(), &st), 0);
    EXPECT_FALSE(MakeDirs(""));
}

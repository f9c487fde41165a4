#include "zelhart/platform/runtime_dir.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

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
    std::string dir = RuntimeDir();
    EXPECT_TRUE(dir == "/run/zelhart" || dir.ends_with("/zelhart") || dir.starts_with("/tmp/zelhart-")) << dir;
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

// Registering ".4810" with the desktop: the files, written only when they change.
#include "core/shell_registration.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace zelhart::ui {
namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ShellRegistrationTest, WritesTheMimeTypeAndTheDesktopEntryOnce) {
    testing::TempDir dir;
    const std::string exe = "/opt/korvel tools/bin/4810PC";
    const ShellRegistration first = RegisterShellFileType(dir.path(), exe);
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_EQ(first.changedMimeDirs, std::vector<std::string>{dir / "mime"});
    EXPECT_EQ(first.changedApplicationDirs, std::vector<std::string>{dir / "applications"});
    const std::string mime = Read(dir / "mime/packages/korvel-4810.xml");
    EXPECT_NE(mime.find("<mime-type type=\"application/x-korvel-4810\">"), std::string::npos);
    EXPECT_NE(mime.find("<glob pattern=\"*.4810\"/>"), std::string::npos);
    EXPECT_NE(mime.find("<comment>Конфигурация датчика</comment>"), std::string::npos);
    const std::string entry = Read(dir / "applications/korvel-4810pc.desktop");
    EXPECT_NE(entry.find("Name=Программа конфигурации Корвел-4810\n"), std::string::npos);
    EXPECT_NE(entry.find("Exec=\"/opt/korvel tools/bin/4810PC\" %f\n"), std::string::npos);
    EXPECT_NE(entry.find("MimeType=application/x-korvel-4810;\n"), std::string::npos);

    const ShellRegistration again = RegisterShellFileType(dir.path(), exe);
    EXPECT_TRUE(again.ok);
    EXPECT_TRUE(again.changedMimeDirs.empty());
    EXPECT_TRUE(again.changedApplicationDirs.empty());
    const ShellRegistration moved = RegisterShellFileType(dir.path(), "/usr/bin/4810PC");
    EXPECT_TRUE(moved.changedMimeDirs.empty());
    EXPECT_EQ(moved.changedApplicationDirs.size(), 1u);

    EXPECT_FALSE(RegisterShellFileType("", exe).ok);
}

TEST(ShellRegistrationTest, ExecArgumentsAreQuotedForTheDesktopEntry) {
    EXPECT_EQ(QuoteExecArgument("/a b/c"), "\"/a b/c\"");
    EXPECT_EQ(QuoteExecArgument("a\"b$c`d"), "\"a\\\\\"b\\\\$c\\\\`d\"");
    EXPECT_EQ(QuoteExecArgument("a\\b"), "\"a\\\\\\\\b\"");
    EXPECT_EQ(QuoteExecArgument("50%"), "\"50%%\"");
}

} // namespace
} // namespace zelhart::ui

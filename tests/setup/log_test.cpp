// The helper's log: formats, the file before and after a path is set, the DIFx callback lines and the
// system's error texts.
#include "difx_api.h"
#include "setup_fixture.h"
#include "setup_log.h"
#include "zelhart/platform/unique_fd.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::setup::testing {
namespace {

using K = LogArgKind;

static_assert(LogFormatMatches<2>("%d and %ws\n", {K::Integer, K::Text}));
static_assert(LogFormatMatches<0>("100%% done\n", {}));
static_assert(!LogFormatMatches<1>("%s\n", {K::Integer}), "a number for a text");
static_assert(!LogFormatMatches<1>("%d %d\n", {K::Integer}), "too few arguments");
static_assert(!LogFormatMatches<1>("none\n", {K::Text}), "too many arguments");
static_assert(!LogFormatMatches<1>("%f\n", {K::Integer}), "a conversion the log does not have");

LogArg I(int64_t v) { return {K::Integer, v, {}}; }
LogArg T(std::string_view t) { return {K::Text, 0, t}; }

TEST(LogFormat, ConversionsPrintAsTheCLibraryPrintsADword) {
    struct Row {
        std::string_view format;
        std::vector<LogArg> args;
        std::string out;
    } rows[] = {
        {"%d|%u|%x|%X", {I(0xE0000302), I(0xE0000302), I(0xE0000302), I(255)}, "-536870142|3758097154|e0000302|FF"},
        {"0x%x.", {I(5)}, "0x5."},
        {"%s=%ws=%S=%ls%%", {T("a"), T("b"), T("%d"), T("")}, "a=b=%d=%"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(FormatLogLine(r.format, r.args), r.out) << r.format;
}

class LogFileTest : public SetupTest {
  protected:
    void SetUp() override {
        SetupTest::SetUp();
        ResetLogSettings();
        char cwd[4096];
        ASSERT_TRUE(::getcwd(cwd, sizeof(cwd)));
        cwd_ = cwd;
        ASSERT_EQ(::chdir(Dir().c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(::chdir(cwd_.c_str()), 0);
        ResetLogSettings();
        SetupTest::TearDown();
    }
    std::string cwd_;
};

TEST_F(LogFileTest, LinesBeforeThePathIsSetGoToTheSetupLog) {
    EXPECT_EQ(LogWrite(LOG_FAILURE, "early %d\n", 1), 8);
    SetLogFilePath(LogPath());
    LogWrite(LOG_FAILURE, "late\n");
    EXPECT_EQ(ReadFile(Dir() + "/ZelHartDriverSetup.log"), "early 1\n");
    EXPECT_EQ(Log(), "late\n");
}

// Every callback event is one line; a warning's or error's code comes with the system's text for it,
// on the same line.
TEST_F(LogFileTest, DifxCallbackLines) {
    SetLogFilePath(LogPath());
    DifxApi::LogCallback(0, 0, "stored", nullptr);
    DifxApi::LogCallback(1, 0, "copying", nullptr);
    DifxApi::LogCallback(2, 5, "cannot delete", nullptr);
    DifxApi::LogCallback(3, 0xE0000302, "no package", nullptr);
    DifxApi::LogCallback(3, 0, "no code", nullptr);
    DifxApi::LogCallback(2, 123456, "unknown code", nullptr);
    DifxApi::LogCallback(7, 0, "odd", nullptr);
    EXPECT_EQ(Log(), "DIFXAPI_SUCCESS: stored.\n"
                     "DIFXAPI_INFO:    copying.\n"
                     "DIFXAPI_WARNING: cannot delete. Errorcode:  5 [5 (Access is denied.)]\n"
                     "DIFXAPI_ERROR:   no package.  Errorcode: -536870142 "
                     "[-536870142 (The driver package is not in the driver store.)]\n"
                     "DIFXAPI_ERROR:   no code.  Errorcode: 0 []\n"
                     "DIFXAPI_WARNING: unknown code. Errorcode:  123456 [123456]\n"
                     "DIFXAPI unknown callback!\n");
}

TEST_F(LogFileTest, UnwritableLogFileIsSkipped) {
    SetLogFilePath(Dir() + "/no/such/dir/setup.log");
    EXPECT_EQ(LogWrite(LOG_FAILURE, "lost\n"), 5);
    EXPECT_FALSE(Exists(Dir() + "/ZelHartDriverSetup.log"));

    // A FIFO nobody reads (the helper run as "ZelHartDriverSetupCustomAction pipe") is not waited for.
    const std::string fifo = Dir() + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    SetLogFilePath(fifo);
    auto written = std::async(std::launch::async, [] { return LogWrite(LOG_FAILURE, "lost\n"); });
    if (written.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        platform::UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK)); // lets the writer go
        ADD_FAILURE() << "the log waited for a reader of its FIFO";
    }
    EXPECT_EQ(written.get(), 5);
}

} // namespace
} // namespace zelhart::setup::testing

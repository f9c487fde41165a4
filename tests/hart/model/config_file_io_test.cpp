#include "hart/config_file_io.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;
using zelhart::testing::TempDir;

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    return names;
}

CTransmitterModel Configured(std::u16string_view tag, float damping) {
    CTransmitterModel m;
    m.ClearContents();
    m.SetTag(tag);
    m.SetSensorType(1);
    m.SetDamping(damping);
    return m;
}

// Runs `save` in a child process after `prepare` and returns the child's exit status: the errno of
// a failed save, or 0.
int SaveInChild(const std::function<std::error_code()>& save, const std::function<void()>& prepare) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        prepare();
        const std::error_code error = save();
        ::_exit(error ? (error.value() & 0xFF) : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST(ConfigFileIo, SavedFileOpensAgain) {
    TempDir dir;
    const std::string path = dir / "sensor.4810";
    const CTransmitterModel source = Configured(u"SAVED", 2.5f);
    ASSERT_FALSE(SaveConfigurationFile(path, source));
    EXPECT_EQ(fs::file_size(path), 103u);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"sensor.4810"}) << "no temporary file left";

    std::error_code error;
    const ConfigLoadResult r = ReadConfigurationFile(path, &error);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(error);
    CTransmitterModel opened;
    opened.ClearContents();
    opened.ApplyStoredConfiguration(r.configuration);
    EXPECT_EQ(opened.GetTag(), u"SAVED");
    EXPECT_EQ(opened.GetDamping(), 2.5f);
}

TEST(ConfigFileIo, ReplacingKeepsThePermissionsOfThePreviousFile) {
    TempDir dir;
    const std::string path = dir / "sensor.4810";
    ASSERT_FALSE(SaveConfigurationFile(path, Configured(u"OLD", 1.0f)));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_FALSE(SaveConfigurationFile(path, Configured(u"NEW", 1.0f)));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(ConfigFileIo, FailedSaveInAnUnwritableDirectoryKeepsThePreviousFile) {
    TempDir dir;
    const std::string path = dir / "sensor.4810";
    ASSERT_FALSE(SaveConfigurationFile(path, Configured(u"OLD", 1.0f)));
    const std::vector<std::uint8_t> before = ReadAll(path);
    ASSERT_EQ(::chmod(path.c_str(), 0666),
              0); // the file itself stays writable: only a rewrite in place would succeed
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);

    const CTransmitterModel update = Configured(u"NEW", 9.0f);
    const int status = SaveInChild([&] { return SaveConfigurationFile(path, update); },
                                   [] {
                                       // Root writes anywhere: the child gives up its rights first.
                                       if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                                           ::_exit(200);
                                   });
    ::chmod(dir.path().c_str(), 0755);

    EXPECT_EQ(status, EACCES);
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"sensor.4810"});
}

TEST(ConfigFileIo, FailedWriteKeepsThePreviousFileAndRemovesTheTemporary) {
    TempDir dir;
    const std::string path = dir / "sensor.4810";
    ASSERT_FALSE(SaveConfigurationFile(path, Configured(u"OLD", 1.0f)));
    const std::vector<std::uint8_t> before = ReadAll(path);

    // A file size limit below the image makes the write itself fail half-way.
    const CTransmitterModel update = Configured(u"NEW", 9.0f);
    const int status = SaveInChild([&] { return SaveConfigurationFile(path, update); },
                                   [] {
                                       std::signal(SIGXFSZ, SIG_IGN);
                                       const rlimit limit{50, 50};
                                       ::setrlimit(RLIMIT_FSIZE, &limit);
                                   });
    EXPECT_EQ(status, EFBIG);
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"sensor.4810"});
}

TEST(ConfigFileIo, SavingThroughALinkReplacesItsTarget) {
    TempDir dir;
    const std::string real = dir / "real.4810";
    const std::string link = dir / "link.4810";
    ASSERT_FALSE(SaveConfigurationFile(real, Configured(u"OLD", 1.0f)));
    fs::create_symlink(real, link);
    ASSERT_FALSE(SaveConfigurationFile(link, Configured(u"NEW", 1.0f)));
    EXPECT_TRUE(fs::is_symlink(link));
    const ConfigLoadResult r = ReadConfigurationFile(real);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.configuration.tag[0], u'N');
}

TEST(ConfigFileIo, ReadingIsBoundedAndRefusesWhatIsNotAFile) {
    TempDir dir;
    // A huge file: only the image at its start is read.
    const std::string big = dir / "big.4810";
    ASSERT_FALSE(SaveConfigurationFile(big, Configured(u"BIG", 1.0f)));
    fs::resize_file(big, std::uintmax_t{1} << 32);
    const ConfigLoadResult large = ReadConfigurationFile(big);
    ASSERT_TRUE(large.ok());
    EXPECT_EQ(large.configuration.tag[0], u'B');

    // A FIFO must not block the open.
    const std::string fifo = dir / "fifo.4810";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::error_code error;
    EXPECT_EQ(ReadConfigurationFile(fifo, &error).status, ConfigLoadStatus::CannotRead);
    EXPECT_TRUE(error);

    const ConfigLoadResult directory = ReadConfigurationFile(dir.path(), &error);
    EXPECT_EQ(directory.status, ConfigLoadStatus::CannotRead);
    EXPECT_EQ(error, std::errc::is_a_directory);

    const ConfigLoadResult missing = ReadConfigurationFile(dir / "missing.4810", &error);
    EXPECT_EQ(missing.status, ConfigLoadStatus::CannotRead);
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
    ASSERT_EQ(missing.messages.size(), 1u);
    EXPECT_EQ(missing.messages[0].text, "Failed to open document.");

    const std::string shortFile = dir / "short.4810";
    std::ofstream(shortFile, std::ios::binary) << "\x51\x92\x68\x54\x42\x01";
    EXPECT_EQ(ReadConfigurationFile(shortFile).status, ConfigLoadStatus::UnexpectedFormat);
}

} // namespace

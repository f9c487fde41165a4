#include "setup_log.h"

#include "zelhart/setupapi/winbase.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace zelhart::setup {
namespace {

namespace api = zelhart::setupapi;

struct LogSettings {
    std::string path; // empty until set
    DWORD echoMask = 0x1;
};

LogSettings& Settings() {
    static LogSettings settings;
    return settings;
}

// Appends the line in one write, so that lines of runs writing at the same time never mix. A file
// that cannot be opened is skipped for this line, and so is a FIFO nobody reads (non-blocking: the
// open would wait for a reader for ever).
void AppendToFile(const std::string& path, const std::string& line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return;
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        rest.remove_prefix(static_cast<size_t>(n));
    }
    ::close(fd);
}

} // namespace

void SetLogFilePath(const std::string& path) { Settings().path = path; }
void AddLogEchoLevels(DWORD levels) { Settings().echoMask |= levels; }
std::string LogFilePath() { return Settings().path.empty() ? kDefaultLogFileName : Settings().path; }
void ResetLogSettings() { Settings() = LogSettings{}; }

int LogWriteLine(DWORD level, std::string_view format, std::initializer_list<LogArg> args) {
    std::string line = FormatLogLine(format, std::span<const LogArg>(args.begin(), args.size()));
    AppendToFile(LogFilePath(), line);
    if (level & Settings().echoMask) {
        std::string copy = "HART_DRIVER_SETUP: " + line;
        if (copy.size() > kDebuggerLineLimit - 1) copy.resize(kDebuggerLineLimit - 1);
        api::OutputDebugStringW(copy.c_str());
    }
    return static_cast<int>(line.size());
}

std::string ErrorText(DWORD code) {
    std::string text = std::to_string(static_cast<int32_t>(code));
    char message[1024];
    DWORD n = api::FormatMessageW(api::FORMAT_MESSAGE_FROM_SYSTEM | api::FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  api::LANG_USER_DEFAULT, message, sizeof(message), nullptr);
    if (n == 0) return text;
    std::string m(message, n);
    if (auto lf = m.find('\n'); lf != std::string::npos) m.erase(lf, 1);
    if (auto cr = m.find('\r'); cr != std::string::npos) m.erase(cr, 1);
    return text + " (" + m + ")";
}

} // namespace zelhart::setup

// The setup helper's log. Every line is appended to the log file, which is opened (for appending) and
// closed again for each line, so runs that name the same file share it and nothing is lost when the
// program ends abruptly; a line whose level shares a bit with the echo mask is also sent to the
// debugger (standard error here) behind "HART_DRIVER_SETUP: ". The log adds nothing of its own to a
// line: the start line of each run carries the time.
#pragma once

#include "log_format.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zelhart::setup {

using DWORD = uint32_t;

// Levels.
inline constexpr DWORD LOG_FAILURE = 0x10000;        // failures and their details, parameters of actions
inline constexpr DWORD LOG_ENTRY_EXIT = 0x20000;     // lines beginning with >>> and <<<
inline constexpr DWORD LOG_START = 0x40000;          // the start line of a run
inline constexpr DWORD LOG_PACKAGE = 0x80000;        // driver package results, DIFx callback lines, error names
inline constexpr DWORD LOG_DIFX_ENTRY = 0xA0000;     // entry lines of the DIFx wrappers
inline constexpr DWORD LOG_NODE_STATUS = 0x100000;   // device node status and child checks
inline constexpr DWORD LOG_STATUS_FAILURE = 0x110000;
inline constexpr DWORD LOG_OEM_ENTRY = 0x120000;     // entry of the OEM INF deletion
inline constexpr DWORD LOG_WALK = 0x400000;          // per-element walk lines, comparisons, rights
inline constexpr DWORD LOG_REBOOT = 0x500000;        // reboot required

inline constexpr char kDefaultLogFileName[] = "ZelHartDriverSetup.log"; // until a path is set
inline constexpr size_t kDebuggerLineLimit = 4096;                       // characters, with the terminator

// The process-wide log settings.
void SetLogFilePath(const std::string& path);
void AddLogEchoLevels(DWORD levels); // the mask starts as 0x1
std::string LogFilePath();           // the file lines go to now
void ResetLogSettings();             // back to the start (for tests)

int LogWriteLine(DWORD level, std::string_view format, std::initializer_list<LogArg> args);

// Appends one formatted line; the number of characters formatted.
template <class... Args>
int LogWrite(DWORD level, LogFormat<std::type_identity_t<Args>...> format, const Args&... args) {
    return LogWriteLine(level, format.text(), {MakeLogArg(args)...});
}

// "<code in decimal> (<the system's text for it>)" on one line (the text's first line feed and first
// carriage return removed), or the number alone when the system has no text for it.
std::string ErrorText(DWORD code);

} // namespace zelhart::setup

// HartTrace: the driver's one trace routine, gated by the DebugLevel mask.
//
// A line is written when DebugLevel AND the call's category mask is non-zero. A call whose mask has
// bit 7 (0x80) set is written as "HartDriver: [h:m:s.ms]-" + message (UTC); any other as
// "HartDriver: " + message. Lines go to standard error (the journal under systemd), one write each.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace zelhart::hartdriver {

// Trace categories.
enum : uint32_t {
    HART_TRACE_ERROR = 0x01,    // errors and key events
    HART_TRACE_ENTRY = 0x02,    // routine entry and exit
    HART_TRACE_IOCTL = 0x04,    // I/O control codes
    HART_TRACE_DETAIL = 0x10,   // values and details
    HART_TRACE_STATE = 0x20,    // master state names
    HART_TRACE_RECEIVER = 0x40, // receiver transitions
    HART_TRACE_TIME = 0x80,     // time stamp
};

// Read once by DriverEntry; 0 prints nothing.
extern std::atomic<uint32_t> DebugLevel;

inline bool HartTraceEnabled(uint32_t mask) {
    return (DebugLevel.load(std::memory_order_relaxed) & mask) != 0;
}

void HartTrace(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
// An already formatted message.
void HartTraceLine(uint32_t mask, std::string_view message);

// The line as written, for the message `message` at UTC time `utc` + `milliseconds`.
std::string FormatHartTraceLine(uint32_t mask, std::string_view message, const std::tm& utc,
                                int milliseconds);

// Lines that the design prints to the debugger whatever DebugLevel says (the entry into
// STATE_BUS_RESTART) and the framework's own information lines: written only when enabled (the
// daemon's --verbose), as a debugger shows them only when asked to.
void SetHartDebugOutput(bool enabled);
void HartDebugPrint(std::string_view line);

// Where finished lines go; the default writes them to standard error. Empty restores the default.
void SetHartTraceWriter(std::function<void(std::string_view line)> writer);

// Routes the driver framework's trace lines: errors as HartTrace category 0x01, information as
// debugger output. With daemon notices on, an error that DebugLevel would hide is written as a notice.
void RouteFrameworkTrace();

// The daemon's own lines for the journal, whatever DebugLevel says: its start line, what a reload
// changed, and the errors an administrator must see (the socket, a refused client, a port that
// cannot be opened, the device nodes). "ZelHartDriver: " + message, through the same writer as the
// trace. Off (nothing written) unless the daemon turns them on, so that a driver run inside another
// program stays as quiet as DebugLevel says.
void SetDaemonNotices(bool enabled);
void DaemonNotice(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace zelhart::hartdriver

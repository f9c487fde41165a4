#include "hart_trace.h"

#include "zelhart/drvfw/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace zelhart::hartdriver {

std::atomic<uint32_t> DebugLevel{0};

namespace {

constexpr char kPrefix[] = "HartDriver: ";

std::atomic<bool> debugOutput{false};
std::atomic<bool> daemonNotices{false};
std::mutex writerMutex;
std::function<void(std::string_view)> writer;

void WriteStderr(std::string_view line) {
    while (!line.empty()) {
        ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
        if (n <= 0) return;
        line.remove_prefix(static_cast<size_t>(n));
    }
}

void Emit(std::string_view line) {
    std::lock_guard lock(writerMutex);
    if (writer)
        writer(line);
    else
        WriteStderr(line);
}

} // namespace

std::string FormatHartTraceLine(uint32_t mask, std::string_view message, const std::tm& utc,
                                int milliseconds) {
    std::string line;
    if (mask & HART_TRACE_TIME) {
        char stamp[64];
        std::snprintf(stamp, sizeof(stamp), "%s[%d:%d:%d.%d]", kPrefix, utc.tm_hour, utc.tm_min, utc.tm_sec,
                      milliseconds);
        line = stamp;
        line += '-';
    } else {
        line = kPrefix;
    }
    line += message;
    if (line.back() != '\n') line += '\n';
    return line;
}

void HartTraceLine(uint32_t mask, std::string_view message) {
    if (!HartTraceEnabled(mask)) return;
    std::tm utc{};
    int ms = 0;
    if (mask & HART_TRACE_TIME) {
        auto now = std::chrono::system_clock::now();
        std::time_t t = std::chrono::system_clock::to_time_t(now);
        ::gmtime_r(&t, &utc);
        ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    }
    Emit(FormatHartTraceLine(mask, message, utc, ms));
}

void HartTrace(uint32_t mask, const char* format, ...) {
    if (!HartTraceEnabled(mask)) return; // nothing is formatted for a category that is off
    char message[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (n < 0) return;
    HartTraceLine(mask, message);
}

void SetHartDebugOutput(bool enabled) {
    debugOutput = enabled;
}

void HartDebugPrint(std::string_view line) {
    if (!debugOutput) return;
    std::string text(kPrefix);
    text += line;
    if (text.back() != '\n') text += '\n';
    Emit(text);
}

void SetHartTraceWriter(std::function<void(std::string_view line)> w) {
    std::lock_guard lock(writerMutex);
    writer = std::move(w);
}

void RouteFrameworkTrace() {
    drvfw::SetTraceSink([](drvfw::TraceLevel level, const std::string& line) {
        if (level != drvfw::TraceLevel::Error)
            HartDebugPrint(line);
        else if (HartTraceEnabled(HART_TRACE_ERROR))
            HartTrace(HART_TRACE_ERROR, "%s\n", line.c_str());
        else
            DaemonNotice("%s", line.c_str());
    });
}

void SetDaemonNotices(bool enabled) {
    daemonNotices = enabled;
}

void DaemonNotice(const char* format, ...) {
    if (!daemonNotices) return;
    char message[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (n < 0) return;
    std::string line = "ZelHartDriver: ";
    line += message;
    if (line.back() != '\n') line += '\n';
    Emit(line);
}

} // namespace zelhart::hartdriver

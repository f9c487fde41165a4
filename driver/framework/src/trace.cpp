#include "zelhart/drvfw/trace.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace zelhart::drvfw {
namespace {

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

TraceSink& Sink() {
    static TraceSink sink;
    return sink;
}

} // namespace

void SetTraceSink(TraceSink sink) {
    std::lock_guard lock(SinkMutex());
    Sink() = std::move(sink);
}

void FrameworkTrace(TraceLevel level, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    TraceSink sink;
    {
        std::lock_guard lock(SinkMutex());
        sink = Sink();
    }
    if (sink) {
        sink(level, line);
    } else if (level == TraceLevel::Error) {
        std::fprintf(stderr, "drvfw: %s\n", line);
    }
}

} // namespace zelhart::drvfw

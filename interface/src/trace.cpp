#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelhart::hartif {

bool TraceEnabled() {
    static const bool enabled = [] {
        const char* v = std::getenv("ZELHART_INTERFACE_TRACE");
        return v && *v && std::strcmp(v, "0") != 0;
    }();
    return enabled;
}

void Trace(const char* format, ...) {
    if (!TraceEnabled()) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    size_t n = std::strlen(line);
    std::fprintf(stderr, "ZelHartDriverInterface: %s%s", line, (n && line[n - 1] == '\n') ? "" : "\n");
}

} // namespace zelhart::hartif

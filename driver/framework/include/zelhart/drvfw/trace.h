// The framework's own trace lines (a refused modem-line call, a malformed client message, a request
// completed twice). The daemon routes them into its trace routine with SetTraceSink; by default errors
// go to standard error and information is dropped.
#pragma once

#include <functional>
#include <string>

namespace zelhart::drvfw {

enum class TraceLevel { Error, Info };

using TraceSink = std::function<void(TraceLevel level, const std::string& line)>;

// Process-wide; an empty sink restores the default.
void SetTraceSink(TraceSink sink);

void FrameworkTrace(TraceLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace zelhart::drvfw

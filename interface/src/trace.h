// The library's diagnostic trace: one call per step, naming the class and method.
//
// Silent unless the environment variable ZELHART_INTERFACE_TRACE is set to something other than "0"
// when the library loads; then every line goes to standard error, prefixed "ZelHartDriverInterface: ".
#pragma once

namespace zelhart::hartif {

bool TraceEnabled();
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Marks entry (">>>") and exit ("<<<") of a method.
class TraceScope {
public:
    explicit TraceScope(const char* name) : name_(name) { Trace("%s >>>\n", name_); }
    ~TraceScope() { Trace("%s <<<\n", name_); }
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    const char* name_;
};

} // namespace zelhart::hartif

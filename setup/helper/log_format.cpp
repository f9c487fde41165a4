#include "log_format.h"

#include <cstdio>

namespace zelhart::setup {

std::string FormatLogLine(std::string_view format, std::span<const LogArg> args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        char c = format[++i];
        if (c == '%') {
            out += '%';
            continue;
        }
        if (c == 'w' || c == 'l') c = format[++i];
        const LogArg* a = next < args.size() ? &args[next++] : nullptr;
        if (!a) continue; // the compile-time check makes this impossible
        char buf[16];
        switch (c) {
        case 'd':
        case 'i': std::snprintf(buf, sizeof(buf), "%d", static_cast<int32_t>(a->integer)); break;
        case 'u': std::snprintf(buf, sizeof(buf), "%u", static_cast<uint32_t>(a->integer)); break;
        case 'x': std::snprintf(buf, sizeof(buf), "%x", static_cast<uint32_t>(a->integer)); break;
        case 'X': std::snprintf(buf, sizeof(buf), "%X", static_cast<uint32_t>(a->integer)); break;
        default:
            out.append(a->text);
            continue;
        }
        out += buf;
    }
    return out;
}

} // namespace zelhart::setup

#include "zelhart/platform/guid.h"

#include <cstdio>

namespace zelhart::platform {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[pos]; nothing when one is not a hex digit.
std::optional<uint32_t> Hex(std::string_view text, size_t pos, size_t digits) {
    uint32_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
        int d = HexDigit(text[pos + i]);
        if (d < 0) return std::nullopt;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return v;
}

} // namespace

std::optional<Guid> ParseGuid(std::string_view text) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') return std::nullopt;
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return std::nullopt;
    Guid g;
    auto d1 = Hex(text, 0, 8), d2 = Hex(text, 9, 4), d3 = Hex(text, 14, 4);
    if (!d1 || !d2 || !d3) return std::nullopt;
    g.Data1 = *d1;
    g.Data2 = static_cast<uint16_t>(*d2);
    g.Data3 = static_cast<uint16_t>(*d3);
    static constexpr size_t kBytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        auto b = Hex(text, kBytePos[i], 2);
        if (!b) return std::nullopt;
        g.Data4[i] = static_cast<uint8_t>(*b);
    }
    return g;
}

std::string FormatGuid(const Guid& g) {
    char buf[40];
    std::snprintf(buf, sizeof(buf), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return buf;
}

} // namespace zelhart::platform

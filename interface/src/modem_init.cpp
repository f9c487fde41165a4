#include "modem_init.h"

#include <cstring>

namespace zelhart::hartif {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point starting at text[i] and advances i.
char32_t Decode(std::string_view text, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    int extra;
    char32_t cp, min;
    if (b0 < 0x80) {
        ++i;
        return b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + extra >= text.size()) { // cut short at the end
        i = text.size();
        return kReplacement;
    }
    for (int k = 1; k <= extra; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            i += k;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i += extra + 1;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
    return cp;
}

void PutName(char16_t (&field)[128], uint32_t& length, std::string_view name) {
    std::u16string wide = Utf8ToUtf16(name);
    if (wide.size() > 127) wide.clear();
    std::memcpy(field, wide.data(), wide.size() * sizeof(char16_t));
    length = uint32_t((wide.size() + 1) * sizeof(char16_t));
}

} // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp = Decode(text, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

HartModemInitInfo MakeModemInitInfo(std::string_view serialDeviceName, std::string_view portName) {
    HartModemInitInfo info;
    std::memset(&info, 0, sizeof(info));
    PutName(info.SerialDeviceName, info.SerialDeviceNameLength, serialDeviceName);
    PutName(info.PortName, info.PortNameLength, portName);
    return info;
}

} // namespace zelhart::hartif

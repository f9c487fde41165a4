#include "hart_names.h"

#include <algorithm>

namespace zelhart::hartdriver {
namespace {

constexpr size_t kMaxPortDigits = 4;

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A NUL-terminated UTF-16 string of `lengthBytes` bytes (terminator included) inside a field of
// `capacity` characters: the text before the terminator, or nothing.
bool TakeField(const char16_t* field, size_t capacity, uint32_t lengthBytes, size_t minimumBytes,
               std::u16string_view* text) {
    if (lengthBytes % 2 != 0 || lengthBytes < minimumBytes || lengthBytes > capacity * 2) return false;
    size_t chars = lengthBytes / 2 - 1;
    if (field[chars] != u'\0') return false;
    std::u16string_view view(field, chars);
    if (view.find(u'\0') != std::u16string_view::npos) return false;
    *text = view;
    return true;
}

} // namespace

bool SerialDeviceNameTakenAsIs(std::string_view valueName) {
    return !valueName.empty() && (valueName.front() == '\\' || valueName.front() == '/');
}

std::string SerialDeviceNameFor(std::string_view valueName) {
    if (SerialDeviceNameTakenAsIs(valueName)) return std::string(valueName);
    return "\\Device\\" + std::string(valueName);
}

HartPortNames HartNamesForPort(std::string_view portNumber, std::string_view serialDeviceName) {
    HartPortNames names;
    names.PortNumber = portNumber;
    names.DeviceName = std::string(kHartDeviceNamePrefix) + names.PortNumber;
    names.LinkName = std::string(kHartLinkNamePrefix) + names.PortNumber;
    names.SerialDeviceName = serialDeviceName;
    return names;
}

SerialCommValue ParseSerialCommValue(std::string_view valueName, std::string_view comName,
                                     HartPortNames* out) {
    // As the registry keeps it the data is UTF-16 with a terminating NUL: "COM" and one digit make
    // the 10 bytes that are the least a port name can be.
    if ((comName.size() + 1) * 2 < 10) return SerialCommValue::TooShort;
    if (comName.substr(0, 3) != "COM") return SerialCommValue::BadName;
    *out = HartNamesForPort(comName.substr(3), SerialDeviceNameFor(valueName));
    return SerialCommValue::Ok;
}

ModemInitRecord ParseModemInitInfo(const HartModemInitInfo& info, HartPortNames* out) {
    std::u16string_view serial, port;
    if (!TakeField(info.SerialDeviceName, std::size(info.SerialDeviceName),
                   info.SerialDeviceNameLength & 0xFFFF, 4, &serial) ||
        !TakeField(info.PortName, std::size(info.PortName), info.PortNameLength, 10, &port))
        return ModemInitRecord::BadLength;
    std::string serialName, portName;
    if (!Utf16ToUtf8(serial, &serialName) || !Utf16ToUtf8(port, &portName)) return ModemInitRecord::BadName;
    std::string_view digits = std::string_view(portName).substr(3);
    if (portName.compare(0, 3, "COM") != 0 || !AllDigits(digits) || digits.size() > kMaxPortDigits)
        return ModemInitRecord::BadName;
    *out = HartNamesForPort(digits, SerialDeviceNameFor(serialName));
    return ModemInitRecord::Ok;
}

bool Utf16ToUtf8(std::u16string_view in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            *out += static_cast<char>(c);
        } else if (c < 0x800) {
            *out += static_cast<char>(0xC0 | (c >> 6));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out += static_cast<char>(0xE0 | (c >> 12));
            *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (c >> 18));
            *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

} // namespace zelhart::hartdriver

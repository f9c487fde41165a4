#include "zelhart/sim/state_file.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zelhart::sim {
namespace {

template <class T>
using Accessor = T& (*)(DeviceConfig&);

struct Field {
    const char* key;
    std::string (*parse)(const Field&, std::string_view, DeviceConfig&);
    std::string (*format)(const Field&, DeviceConfig&);
    // What the handlers above work on; which members are used depends on the kind of field.
    Accessor<uint8_t> u8 = nullptr;
    Accessor<uint16_t> u16 = nullptr;
    Accessor<uint32_t> u32 = nullptr;
    Accessor<float> f1 = nullptr;
    Accessor<float> f2 = nullptr;
    Accessor<std::string> text = nullptr;
    Accessor<uint8_t> d = nullptr, m = nullptr, y = nullptr;
    Accessor<bool> flag = nullptr;
    uint32_t max = 0;
    bool hex = false; // written as 0x.. (identifiers)
};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool ParseUnsigned(std::string_view s, uint32_t max, uint32_t& out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    if (s.empty()) return false;
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || p != s.data() + s.size() || v > max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool ParseFloat(std::string_view s, float& out) {
    if (s.empty() || s.front() == '+') return false;
    float v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

std::string FormatFloat(float v) {
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, p) : std::string("0");
}

std::string Range(uint32_t max) { return "a whole number 0.." + std::to_string(max); }

std::string ParseU8(const Field& f, std::string_view s, DeviceConfig& c) {
    uint32_t v;
    if (!ParseUnsigned(s, f.max, v)) return Range(f.max) + " expected";
    f.u8(c) = static_cast<uint8_t>(v);
    return {};
}
std::string FormatU8(const Field& f, DeviceConfig& c) { return std::to_string(f.u8(c)); }

std::string ParseU16(const Field& f, std::string_view s, DeviceConfig& c) {
    uint32_t v;
    if (!ParseUnsigned(s, f.max, v)) return Range(f.max) + " expected";
    f.u16(c) = static_cast<uint16_t>(v);
    return {};
}
std::string FormatU16(const Field& f, DeviceConfig& c) { return std::to_string(f.u16(c)); }

std::string ParseU32(const Field& f, std::string_view s, DeviceConfig& c) {
    uint32_t v;
    if (!ParseUnsigned(s, f.max, v)) return Range(f.max) + " expected";
    f.u32(c) = v;
    return {};
}
std::string FormatU32(const Field& f, DeviceConfig& c) {
    if (!f.hex) return std::to_string(f.u32(c));
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%06X", unsigned(f.u32(c)));
    return buf;
}

std::string ParseF(const Field& f, std::string_view s, DeviceConfig& c) {
    if (!ParseFloat(s, f.f1(c))) return "a finite number expected";
    return {};
}
std::string FormatF(const Field& f, DeviceConfig& c) { return FormatFloat(f.f1(c)); }

std::string ParseBool(const Field& f, std::string_view s, DeviceConfig& c) {
    if (s != "0" && s != "1") return "0 or 1 expected";
    f.flag(c) = s == "1";
    return {};
}
std::string FormatBool(const Field& f, DeviceConfig& c) { return f.flag(c) ? "1" : "0"; }

std::string ParseText(const Field& f, std::string_view s, DeviceConfig& c) {
    if (s.size() > f.max) return "at most " + std::to_string(f.max) + " characters expected";
    f.text(c) = std::string(s);
    return {};
}
std::string FormatText(const Field& f, DeviceConfig& c) { return f.text(c); }

// DD.MM.YYYY, year 1900..2155 (stored as year - 1900).
std::string ParseDate(const Field& f, std::string_view s, DeviceConfig& c) {
    uint32_t day, month, year;
    auto p1 = s.find('.');
    auto p2 = p1 == std::string_view::npos ? p1 : s.find('.', p1 + 1);
    if (p2 == std::string_view::npos || !ParseUnsigned(s.substr(0, p1), 31, day) ||
        !ParseUnsigned(s.substr(p1 + 1, p2 - p1 - 1), 12, month) ||
        !ParseUnsigned(s.substr(p2 + 1), 2155, year) || year < 1900)
        return "a date DD.MM.YYYY (1900..2155) expected";
    f.d(c) = static_cast<uint8_t>(day);
    f.m(c) = static_cast<uint8_t>(month);
    f.y(c) = static_cast<uint8_t>(year - 1900);
    return {};
}
std::string FormatDate(const Field& f, DeviceConfig& c) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u.%02u.%04u", unsigned(f.d(c)), unsigned(f.m(c)), unsigned(f.y(c)) + 1900);
    return buf;
}

// "none", or the reference and the reading of a trim point.
std::string ParseTrim(const Field& f, std::string_view s, DeviceConfig& c) {
    if (s == "none") {
        f.f1(c) = kNotANumber;
        f.f2(c) = kNotANumber;
        return {};
    }
    auto sp = s.find_first_of(" \t");
    float reference, reading;
    if (sp == std::string_view::npos || !ParseFloat(s.substr(0, sp), reference) ||
        !ParseFloat(Trim(s.substr(sp)), reading))
        return "\"none\" or two numbers (reference, reading) expected";
    f.f1(c) = reference;
    f.f2(c) = reading;
    return {};
}
std::string FormatTrim(const Field& f, DeviceConfig& c) {
    if (std::isnan(f.f1(c))) return "none";
    return FormatFloat(f.f1(c)) + " " + FormatFloat(f.f2(c));
}

std::string ParseFault(const Field&, std::string_view s, DeviceConfig& c) {
    if (s == "none") c.sensorFault = SensorFault::None;
    else if (s == "open") c.sensorFault = SensorFault::Open;
    else if (s == "short") c.sensorFault = SensorFault::Short;
    else return "none, open or short expected";
    return {};
}
std::string FormatFault(const Field&, DeviceConfig& c) {
    switch (c.sensorFault) {
    case SensorFault::Open: return "open";
    case SensorFault::Short: return "short";
    default: return "none";
    }
}

Field U8(const char* key, Accessor<uint8_t> a, uint32_t max = 255) {
    Field f{key, ParseU8, FormatU8};
    f.u8 = a;
    f.max = max;
    return f;
}
Field U16(const char* key, Accessor<uint16_t> a) {
    Field f{key, ParseU16, FormatU16};
    f.u16 = a;
    f.max = 65535;
    return f;
}
Field U24(const char* key, Accessor<uint32_t> a, bool hex = false) {
    Field f{key, ParseU32, FormatU32};
    f.u32 = a;
    f.max = 0xFFFFFF;
    f.hex = hex;
    return f;
}
Field F(const char* key, Accessor<float> a) {
    Field f{key, ParseF, FormatF};
    f.f1 = a;
    return f;
}
Field Text(const char* key, Accessor<std::string> a, uint32_t max) {
    Field f{key, ParseText, FormatText};
    f.text = a;
    f.max = max;
    return f;
}
Field Date(const char* key, Accessor<uint8_t> d, Accessor<uint8_t> m, Accessor<uint8_t> y) {
    Field f{key, ParseDate, FormatDate};
    f.d = d;
    f.m = m;
    f.y = y;
    return f;
}
Field TrimField(const char* key, Accessor<float> reference, Accessor<float> reading) {
    Field f{key, ParseTrim, FormatTrim};
    f.f1 = reference;
    f.f2 = reading;
    return f;
}
Field Bool(const char* key, Accessor<bool> a) {
    Field f{key, ParseBool, FormatBool};
    f.flag = a;
    return f;
}

const std::vector<Field>& Fields() {
    using C = DeviceConfig;
    static const std::vector<Field> fields = {
        U8("manufacturer", [](C& c) -> uint8_t& { return c.identity.manufacturer; }),
        U8("device_type", [](C& c) -> uint8_t& { return c.identity.deviceType; }),
        U24("device_id", [](C& c) -> uint32_t& { return c.identity.deviceId; }, true),
        U8("request_preambles", [](C& c) -> uint8_t& { return c.identity.requestPreambles; }),
        U8("universal_revision", [](C& c) -> uint8_t& { return c.identity.universalRevision; }),
        U8("device_revision", [](C& c) -> uint8_t& { return c.identity.deviceRevision; }),
        U8("software_revision", [](C& c) -> uint8_t& { return c.identity.softwareRevision; }),
        U8("hardware_revision", [](C& c) -> uint8_t& { return c.identity.hardwareRevision; }, 31),
        U8("signalling_code", [](C& c) -> uint8_t& { return c.identity.signallingCode; }, 7),
        U8("flags", [](C& c) -> uint8_t& { return c.identity.flags; }),
        Text("tag", [](C& c) -> std::string& { return c.tag; }, 8),
        Text("descriptor", [](C& c) -> std::string& { return c.descriptor; }, 16),
        Date("date", [](C& c) -> uint8_t& { return c.day; }, [](C& c) -> uint8_t& { return c.month; },
             [](C& c) -> uint8_t& { return c.year; }),
        U24("final_assembly", [](C& c) -> uint32_t& { return c.finalAssembly; }),
        U24("sensor_serial", [](C& c) -> uint32_t& { return c.sensorSerial; }),
        U8("sensor_type", [](C& c) -> uint8_t& { return c.sensorType; }),
        U8("sensor_connection", [](C& c) -> uint8_t& { return c.sensorConnection; }),
        U8("range_units", [](C& c) -> uint8_t& { return c.rangeUnits; }),
        F("upper_range", [](C& c) -> float& { return c.upperRange; }),
        F("lower_range", [](C& c) -> float& { return c.lowerRange; }),
        F("damping", [](C& c) -> float& { return c.damping; }),
        U8("alarm_type", [](C& c) -> uint8_t& { return c.alarmType; }),
        U8("transfer_function", [](C& c) -> uint8_t& { return c.transferFunction; }),
        U8("private_label", [](C& c) -> uint8_t& { return c.privateLabel; }),
        F("high_alarm", [](C& c) -> float& { return c.highAlarm; }),
        F("low_alarm", [](C& c) -> float& { return c.lowAlarm; }),
        F("high_saturation", [](C& c) -> float& { return c.highSaturation; }),
        F("low_saturation", [](C& c) -> float& { return c.lowSaturation; }),
        U8("mains_filter", [](C& c) -> uint8_t& { return c.filter; }),
        U8("write_protect", [](C& c) -> uint8_t& { return c.writeProtect; }),
        U8("armature_letter", [](C& c) -> uint8_t& { return c.thermometer.armatureLetter; }),
        U8("armature_number", [](C& c) -> uint8_t& { return c.thermometer.armatureNumber; }),
        U8("head", [](C& c) -> uint8_t& { return c.thermometer.head; }),
        U8("cable_entry", [](C& c) -> uint8_t& { return c.thermometer.cableEntry; }),
        U8("execution", [](C& c) -> uint8_t& { return c.thermometer.execution; }),
        U16("mounting_length", [](C& c) -> uint16_t& { return c.thermometer.mountingLength; }),
        Date("assembly_date", [](C& c) -> uint8_t& { return c.thermometer.assemblyDay; },
             [](C& c) -> uint8_t& { return c.thermometer.assemblyMonth; },
             [](C& c) -> uint8_t& { return c.thermometer.assemblyYear; }),
        U24("thermometer_serial", [](C& c) -> uint32_t& { return c.thermometer.serial; }),
        U8("calibration_mode", [](C& c) -> uint8_t& { return c.calibrationMode; }),
        TrimField("trim_lower", [](C& c) -> float& { return c.trimLowerReference; },
             [](C& c) -> float& { return c.trimLowerReading; }),
        TrimField("trim_upper", [](C& c) -> float& { return c.trimUpperReference; },
             [](C& c) -> float& { return c.trimUpperReading; }),
        F("loop_zero_measured", [](C& c) -> float& { return c.loopZeroMeasured; }),
        F("loop_gain_measured", [](C& c) -> float& { return c.loopGainMeasured; }),
        F("process_value", [](C& c) -> float& { return c.processValue; }),
        F("electronics_temperature", [](C& c) -> float& { return c.electronicsTemperature; }),
        Bool("drift", [](C& c) -> bool& { return c.drift; }),
        Field{"sensor_fault", ParseFault, FormatFault},
        Bool("electronics_fault", [](C& c) -> bool& { return c.electronicsFault; }),
    };
    return fields;
}

std::string LineError(size_t line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

} // namespace

std::string ParseState(std::string_view text, DeviceConfig& config) {
    if (text.size() > kMaxStateFileBytes) return "longer than " + std::to_string(kMaxStateFileBytes) + " bytes";
    DeviceConfig c = FactoryConfig();
    std::set<std::string_view> seen;
    bool haveFormat = false;
    size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        auto nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (raw.size() > kMaxStateLineBytes) return LineError(lineNo, "longer than 256 characters");
        for (char ch : raw) {
            auto u = static_cast<unsigned char>(ch);
            if ((u < 0x20 && ch != '\t' && ch != '\r') || u > 0x7E)
                return LineError(lineNo, "holds a character that is not printable ASCII");
        }
        std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string_view::npos) return LineError(lineNo, "\"key = value\" expected");
        std::string_view key = Trim(line.substr(0, eq));
        std::string_view value = Trim(line.substr(eq + 1));
        if (!seen.insert(key).second) return LineError(lineNo, "key \"" + std::string(key) + "\" repeated");
        if (key == "format") {
            if (value != "1") return LineError(lineNo, "unknown format \"" + std::string(value) + "\"");
            haveFormat = true;
            continue;
        }
        const Field* field = nullptr;
        for (const auto& f : Fields())
            if (key == f.key) field = &f;
        if (!field) return LineError(lineNo, "unknown key \"" + std::string(key) + "\"");
        if (auto e = field->parse(*field, value, c); !e.empty())
            return LineError(lineNo, std::string(key) + ": " + e);
    }
    if (!haveFormat) return "not a simulator state file (no \"format = 1\" line)";
    if (auto e = ValidateConfig(c); !e.empty()) return e;
    config = c;
    return {};
}

std::string FormatState(const DeviceConfig& config) {
    DeviceConfig c = config;
    std::string out = "# Korvel-4810 simulator state\nformat = 1\n";
    for (const auto& f : Fields()) out += std::string(f.key) + " = " + f.format(f, c) + "\n";
    return out;
}

std::string LoadStateFile(const std::string& path, DeviceConfig& config) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return path + ": " + std::strerror(errno);
    std::string text;
    char buf[4096];
    std::string error;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            break;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxStateFileBytes) {
            error = path + ": longer than " + std::to_string(kMaxStateFileBytes) + " bytes";
            break;
        }
    }
    ::close(fd);
    if (!error.empty()) return error;
    if (auto e = ParseState(text, config); !e.empty()) return path + ": " + e;
    return {};
}

std::string SaveStateFile(const std::string& path, const DeviceConfig& config) {
    std::string text = FormatState(config);
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return tmp + ": " + std::strerror(errno);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string e = tmp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(tmp.c_str());
            return e;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        std::string e = path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return e;
    }
    return {};
}

} // namespace zelhart::sim

// Building requests the way the configuration program does, and reading answers, for the tests of
// the simulator.
#pragma once

#include "zelhart/sim/hart_frame.h"
#include "zelhart/sim/korvel_device.h"

#include <bit>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelhart::sim::testing {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kAddr0 = 0x19; // 153 & 0x3F
inline const Bytes kLongAddress = {kAddr0, 0xFC, 0x3A, 0x5F, 0x21};

// Request bytes from the delimiter on: short frame for commands 0 and 249, else long.
inline Bytes RequestBytes(uint8_t command, const Bytes& data, const Bytes& address = kLongAddress) {
    bool isShort = command == 0 || command == 249;
    Bytes f;
    f.push_back(isShort ? 0x02 : 0x82);
    if (isShort) f.push_back(0x00);
    else f.insert(f.end(), address.begin(), address.end());
    f.push_back(command);
    f.push_back(static_cast<uint8_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(CheckByte(f));
    return f;
}

inline Frame MakeFrame(const Bytes& bytes) {
    Frame f;
    if (!f.Assign(bytes)) throw std::runtime_error("test built a malformed frame");
    return f;
}

inline Frame Request(uint8_t command, const Bytes& data = {}, const Bytes& address = kLongAddress) {
    return MakeFrame(RequestBytes(command, data, address));
}

inline Bytes Float(float v) {
    uint32_t u = std::bit_cast<uint32_t>(v);
    return {uint8_t(u >> 24), uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline float FloatAt(std::span<const uint8_t> d, size_t at) {
    uint32_t u = uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
    return std::bit_cast<float>(u);
}

inline uint32_t FloatBitsAt(std::span<const uint8_t> d, size_t at) {
    return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
}

// An answer split into its parts: response code, device status and the data after them.
struct Reply {
    Frame frame;
    uint8_t code() const { return frame.data()[0]; }
    uint8_t status() const { return frame.data()[1]; }
    std::span<const uint8_t> data() const { return frame.data().subspan(2); }
    float F(size_t at) const { return FloatAt(data(), at); }
    uint8_t U8(size_t at) const { return data()[at]; }
};

inline std::chrono::nanoseconds Seconds(double s) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
}

} // namespace zelhart::sim::testing

// HART frames as they travel on the wire, for feeding the receiver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelhart::datalink::test {

using Bytes = std::vector<uint8_t>;

// Delimiter, address (1 or 5 bytes), expansion bytes, command, byte count, data, checksum.
inline Bytes Frame(uint8_t delimiter, const Bytes& address, uint8_t command, const Bytes& data,
                   const Bytes& expansion = {}) {
    Bytes f{delimiter};
    f.insert(f.end(), address.begin(), address.end());
    f.insert(f.end(), expansion.begin(), expansion.end());
    f.push_back(command);
    f.push_back(static_cast<uint8_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    uint8_t x = 0;
    for (uint8_t b : f)
        x ^= b;
    f.push_back(x);
    return f;
}

inline Bytes WithPreambles(int count, const Bytes& frame) {
    Bytes out(static_cast<size_t>(count), 0xFF);
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

inline Bytes CorruptChecksum(Bytes frame) {
    frame.back() ^= 0x5A;
    return frame;
}

// Long addresses: first byte carries the master bit (0x80 primary) and the burst bit (0x40).
inline Bytes LongAddress(uint8_t first, uint8_t id = 0x11) {
    return {first, 0x99, 0xFC, 0x00, id};
}

constexpr uint8_t kPrimary = 0x80;
constexpr uint8_t kBurst = 0x40;

// A reply from slave `id` (long address) to the primary (this) or the secondary (other) master.
inline Bytes Reply(uint8_t masterBit, uint8_t id = 0x11, bool burst = false,
                   const Bytes& data = {0x00, 0x40}) {
    return Frame(0x86, LongAddress(static_cast<uint8_t>(masterBit | (burst ? kBurst : 0) | 0x26), id), 0x03,
                 data);
}
inline Bytes Request(uint8_t masterBit, uint8_t id = 0x11) {
    return Frame(0x82, LongAddress(static_cast<uint8_t>(masterBit | 0x26), id), 0x03, {});
}
inline Bytes BurstFrame(uint8_t masterBit, uint8_t id = 0x11) {
    return Frame(0x81, LongAddress(static_cast<uint8_t>(masterBit | kBurst | 0x26), id), 0x01, {0x20, 0x00});
}

} // namespace zelhart::datalink::test

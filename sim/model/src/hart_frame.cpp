#include "zelhart/sim/hart_frame.h"

#include <algorithm>

namespace zelhart::sim {

uint8_t CheckByte(std::span<const uint8_t> bytes) {
    uint8_t x = 0;
    for (uint8_t b : bytes) x ^= b;
    return x;
}

size_t HeaderLength(uint8_t delimiter) {
    uint8_t type = delimiter & 0x07;
    if (type != 1 && type != 2 && type != 6) return 0;
    if ((delimiter & 0x18) != 0) return 0; // only the asynchronous physical layer
    size_t expansion = (delimiter >> 5) & 0x03;
    size_t address = (delimiter & kDelimiterLongAddress) ? 5 : 1;
    return 1 + address + expansion + 2; // delimiter, address, expansion, command, byte count
}

bool Frame::Assign(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > kMaxFrameBytes) return false;
    size_t header = HeaderLength(bytes[0]);
    if (header == 0 || bytes.size() < header + 1) return false;
    size_t count = bytes[header - 1];
    if (bytes.size() != header + count + 1) return false;
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
    size_ = bytes.size();
    return true;
}

bool Frame::checkOk() const {
    return size_ > 0 && CheckByte(std::span<const uint8_t>(bytes_.data(), size_ - 1)) == checkByte();
}

Frame BuildFrame(uint8_t delimiter, std::span<const uint8_t> address, uint8_t command,
                 std::span<const uint8_t> data) {
    std::array<uint8_t, kMaxFrameBytes> buf{};
    size_t n = 0;
    delimiter &= 0x9F; // no expansion bytes
    buf[n++] = delimiter;
    size_t addressLength = (delimiter & kDelimiterLongAddress) ? 5 : 1;
    for (size_t i = 0; i < addressLength; ++i) buf[n++] = i < address.size() ? address[i] : 0;
    buf[n++] = command;
    size_t count = std::min(data.size(), kMaxDataBytes);
    buf[n++] = static_cast<uint8_t>(count);
    std::copy_n(data.begin(), count, buf.begin() + n);
    n += count;
    buf[n] = CheckByte(std::span<const uint8_t>(buf.data(), n));
    ++n;
    Frame frame;
    frame.Assign(std::span<const uint8_t>(buf.data(), n));
    return frame;
}

std::string HexBytes(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out.push_back(' ');
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

} // namespace zelhart::sim

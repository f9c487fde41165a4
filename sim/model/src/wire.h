// Reading request data and writing response data, most significant byte first.
#pragma once

#include "zelhart/sim/hart_frame.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

namespace zelhart::sim::wire {

// The not-a-number pattern that HART sends for a value that is not available.
inline constexpr uint32_t kNaNBits = 0x7FA00000;

class Reader {
public:
    explicit Reader(std::span<const uint8_t> data) : data_(data) {}
    size_t size() const { return data_.size(); }
    uint8_t U8(size_t at) const { return data_[at]; }
    uint32_t U24(size_t at) const { return uint32_t(data_[at]) << 16 | uint32_t(data_[at + 1]) << 8 | data_[at + 2]; }
    float F32(size_t at) const {
        uint32_t v = uint32_t(data_[at]) << 24 | uint32_t(data_[at + 1]) << 16 | uint32_t(data_[at + 2]) << 8 |
                     data_[at + 3];
        return std::bit_cast<float>(v);
    }
    std::span<const uint8_t> Bytes(size_t at, size_t n) const { return data_.subspan(at, n); }

private:
    std::span<const uint8_t> data_;
};

class Writer {
public:
    void U8(uint8_t v) { Put(v); }
    void U16(uint16_t v) {
        Put(uint8_t(v >> 8));
        Put(uint8_t(v));
    }
    void U24(uint32_t v) {
        Put(uint8_t(v >> 16));
        Put(uint8_t(v >> 8));
        Put(uint8_t(v));
    }
    void F32(float f) {
        uint32_t v = std::isnan(f) ? kNaNBits : std::bit_cast<uint32_t>(f);
        Put(uint8_t(v >> 24));
        Put(uint8_t(v >> 16));
        Put(uint8_t(v >> 8));
        Put(uint8_t(v));
    }
    void Bytes(std::span<const uint8_t> b) {
        for (uint8_t v : b) Put(v);
    }
    std::span<const uint8_t> data() const { return {buf_.data(), size_}; }
    size_t size() const { return size_; }

private:
    void Put(uint8_t v) {
        if (size_ < buf_.size()) buf_[size_++] = v;
    }
    // Two status bytes leave 253 bytes of data in a frame.
    std::array<uint8_t, kMaxDataBytes - 2> buf_{};
    size_t size_ = 0;
};

} // namespace zelhart::sim::wire

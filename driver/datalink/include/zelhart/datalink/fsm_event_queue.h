// The master state machine's queue of deferred events: 8 bytes, a zero-terminated list of event codes
// in arrival order, so at most 7 events wait. An event that finds the queue full is dropped (the caller
// learns it from Append's result and traces it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelhart::datalink {

class FsmEventQueue {
  public:
    static constexpr size_t kBytes = 8;
    static constexpr size_t kCapacity = kBytes - 1;

    // Appends at the first zero byte. False (and nothing stored) when full or when event is 0.
    bool Append(uint8_t event);
    // Index of the first entry sharing any bit with mask, or -1.
    int FindFirst(uint8_t mask) const;
    // Removes the entry at index, shifting the rest down. Out-of-range indexes are ignored.
    void RemoveAt(int index);
    // Removes every entry sharing any bit with mask (ClearTimerEvents: 0x40, ClearTransmitRequest: 0x08).
    void RemoveAll(uint8_t mask);
    void Clear() { bytes_.fill(0); }

    size_t size() const;
    bool empty() const { return bytes_[0] == 0; }
    uint8_t operator[](size_t index) const { return index < kBytes ? bytes_[index] : 0; }
    const std::array<uint8_t, kBytes>& bytes() const { return bytes_; }

  private:
    std::array<uint8_t, kBytes> bytes_{};
};

} // namespace zelhart::datalink
